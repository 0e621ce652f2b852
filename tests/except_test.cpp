// SPDX-License-Identifier: MIT

#include <lexspot/except.hpp>

#include <csignal>
#include <cstdio>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.hpp"
#include <lexspot/assert.hpp>

namespace lexspot {
namespace {

const Exception test_failure = {"Test failure"};
const Exception no_reason = {nullptr};
const Exception other_failure = {"Other failure"};

std::string address_report(const Exception *e) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " at 0x%p", static_cast<const void *>(e));
    return buf;
}

// The uncaught-exception report in each of its forms, byte for byte.
TEST(ExceptionDeathTest, UncaughtReportIsExact) {
    struct Case {
        const Exception *exception;
        const char *file;
        int32_t line;
        std::string expected;
    };
    const Case cases[] = {
        {&test_failure, "src/x.cpp", 12,
         "Uncaught exception Test failure raised at src/x.cpp:12\naborting...\n"},
        {&test_failure, "src/x.cpp", 1,
         "Uncaught exception Test failure raised at src/x.cpp:1\naborting...\n"},
        {&test_failure, "src/x.cpp", 0, "Uncaught exception Test failureaborting...\n"},
        {&test_failure, "src/x.cpp", -5, "Uncaught exception Test failureaborting...\n"},
        {&test_failure, nullptr, 12, "Uncaught exception Test failureaborting...\n"},
        {&no_reason, "a.c", 7,
         "Uncaught exception" + address_report(&no_reason) + " raised at a.c:7\naborting...\n"},
        {&no_reason, nullptr, 0,
         "Uncaught exception" + address_report(&no_reason) + "aborting...\n"},
        {&assertion_failed, "src/y.cpp", 2147483647,
         "Uncaught exception Assertion failed raised at src/y.cpp:2147483647\naborting...\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EXIT(raise_exception(c.exception, c.file, c.line),
                    ::testing::KilledBySignal(SIGABRT), abort_report(::testing::Eq(c.expected)));
    }
}

TEST(ExceptionDeathTest, NullExceptionReportsAssertionAtExcept) {
    EXPECT_EXIT(
        raise_exception(nullptr, "src/x.cpp", 3), ::testing::KilledBySignal(SIGABRT),
        abort_report(::testing::MatchesRegex("Uncaught exception Assertion failed raised at "
                                             "src/except\\.cpp:[1-9][0-9]*\naborting\\.\\.\\.\n")));
}

// Built out of tree, the report still names the repository-relative path.
TEST(ExceptionDeathTest, LocationsAreRepositoryRelative) {
    EXPECT_EXIT(
        check_assertion(0), ::testing::KilledBySignal(SIGABRT),
        abort_report(::testing::MatchesRegex("Uncaught exception Assertion failed raised at "
                                             "src/assert\\.cpp:[1-9][0-9]*\naborting\\.\\.\\.\n")));
    EXPECT_EXIT(assert_require(false), ::testing::KilledBySignal(SIGABRT),
                abort_report(::testing::MatchesRegex(
                    ".* raised at tests/except_test\\.cpp:[1-9][0-9]*\n.*")));
}

TEST(ExceptionTest, NullExceptionUnderFrameRaisesAssertion) {
    bool handled = false;
    EXCEPTION_TRY {
        raise_exception(nullptr, "src/x.cpp", 3);
    }
    EXCEPTION_HANDLER(frame) {
        handled = true;
        EXPECT_EQ(frame.exception, &assertion_failed);
        EXPECT_STREQ(frame.file, "src/except.cpp");
        EXPECT_GT(frame.line, 0);
    }
    EXCEPTION_END
    EXPECT_TRUE(handled);
    EXPECT_EQ(exception_stack, nullptr);
}

TEST(ExceptionTest, FrameStoresLocationUnchanged) {
    struct Case {
        const char *file;
        int32_t line;
    };
    const Case cases[] = {{"src/a.cpp", 10},
                          {nullptr, 10},
                          {"src/a.cpp", 0},
                          {"src/a.cpp", -1},
                          {nullptr, INT32_MIN}};
    for (const Case &c : cases) {
        const ExceptionFrame *seen = nullptr;
        EXCEPTION_TRY {
            raise_exception(&test_failure, c.file, c.line);
        }
        EXCEPTION_HANDLER(frame) {
            seen = &frame;
            EXPECT_EQ(frame.exception, &test_failure);
            EXPECT_EQ(frame.file, c.file);
            EXPECT_EQ(frame.line, c.line);
            // The handler runs with its frame already popped.
            EXPECT_EQ(exception_stack, nullptr);
        }
        EXCEPTION_END
        EXPECT_NE(seen, nullptr);
    }
}

TEST(ExceptionTest, NestedFramesAndReraise) {
    std::string trace;
    EXCEPTION_TRY {
        ExceptionFrame *outer = exception_stack;
        EXCEPTION_TRY {
            EXPECT_EQ(exception_stack->prev, outer);
            raise_exception(&test_failure, "inner.c", 1);
        }
        EXCEPTION_HANDLER(frame) {
            trace += "inner;";
            EXPECT_EQ(frame.exception, &test_failure);
            EXPECT_EQ(exception_stack, outer);
            raise_exception(&other_failure, "handler.c", 2);
        }
        EXCEPTION_END
        trace += "not reached;";
    }
    EXCEPTION_HANDLER(frame) {
        trace += "outer;";
        EXPECT_EQ(frame.exception, &other_failure);
        EXPECT_STREQ(frame.file, "handler.c");
        EXPECT_EQ(frame.line, 2);
    }
    EXCEPTION_END
    EXPECT_EQ(trace, "inner;outer;");
    EXPECT_EQ(exception_stack, nullptr);
}

TEST(ExceptionTest, ReraiseKeepsExceptionAndLocation) {
    const ExceptionFrame *caught = nullptr;
    ExceptionFrame copy{};
    EXCEPTION_TRY {
        EXCEPTION_TRY {
            raise_exception(&test_failure, "deep.c", 42);
        }
        EXCEPTION_HANDLER(frame) {
            exception_reraise(frame);
        }
        EXCEPTION_END
    }
    EXCEPTION_HANDLER(frame) {
        caught = &frame;
        copy = frame;
    }
    EXCEPTION_END
    ASSERT_NE(caught, nullptr);
    EXPECT_EQ(copy.exception, &test_failure);
    EXPECT_STREQ(copy.file, "deep.c");
    EXPECT_EQ(copy.line, 42);
}

TEST(ExceptionDeathTest, RaiseFromOutermostHandlerIsUncaught) {
    auto raise_twice = [] {
        EXCEPTION_TRY {
            raise_exception(&test_failure, "a.c", 1);
        }
        EXCEPTION_HANDLER(frame) {
            raise_exception(&other_failure, "b.c", 2);
        }
        EXCEPTION_END
    };
    EXPECT_EXIT(raise_twice(), ::testing::KilledBySignal(SIGABRT),
                abort_report(::testing::Eq(
                    "Uncaught exception Other failure raised at b.c:2\naborting...\n")));
}

// Destructors between the raise and the handler run, and a clean-up runs on
// both paths.
TEST(ExceptionTest, UnwindingRunsDestructorsAndCleanups) {
    for (bool raise : {false, true}) {
        int destroyed = 0, cleaned = 0, handled = 0;
        {
            ExceptionCleanup cleanup([&] { ++cleaned; });
            EXCEPTION_TRY {
                ExceptionCleanup local([&] { ++destroyed; });
                if (raise)
                    raise_exception(&test_failure, "a.c", 1);
            }
            EXCEPTION_HANDLER(frame) {
                ++handled;
            }
            EXCEPTION_END
        }
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(cleaned, 1);
        EXPECT_EQ(handled, raise ? 1 : 0);
        EXPECT_EQ(exception_stack, nullptr);
    }
}

int leave_early(int how) {
    for (int i = 0; i < 3; ++i) {
        EXCEPTION_TRY {
            if (how == 0)
                return 10;
            if (how == 1)
                break;
            if (how == 2)
                continue;
            throw std::runtime_error("foreign");
        }
        EXCEPTION_HANDLER(frame) {
            return -1;
        }
        EXCEPTION_END
    }
    return 20;
}

// Every way out of the protected block other than a raise pops the frame.
TEST(ExceptionTest, EarlyExitsPopTheFrame) {
    EXPECT_EQ(leave_early(0), 10);
    EXPECT_EQ(exception_stack, nullptr);
    EXPECT_EQ(leave_early(1), 20);
    EXPECT_EQ(exception_stack, nullptr);
    EXPECT_EQ(leave_early(2), 20);
    EXPECT_EQ(exception_stack, nullptr);
    EXPECT_THROW(leave_early(3), std::runtime_error);
    EXPECT_EQ(exception_stack, nullptr);

    // Inside an outer frame, an inner early exit restores the outer one.
    EXCEPTION_TRY {
        ExceptionFrame *outer = exception_stack;
        EXPECT_EQ(leave_early(0), 10);
        EXPECT_EQ(exception_stack, outer);
    }
    EXCEPTION_HANDLER(frame) {
        ADD_FAILURE() << "nothing was raised";
    }
    EXCEPTION_END
    EXPECT_EQ(exception_stack, nullptr);
}

// Whether `assert_raise` takes the result of a call returning E, which is an
// lvalue, an xvalue or a prvalue as E says. A handler identifies the
// exception by its address, so only a record that outlives the unwinding may
// be raised: a temporary must not compile. A concept, so that the rejected
// call is a substitution failure the assertions can observe.
template <typename E>
concept raisable = requires(E (&make)()) {
    assert_raise(make());
};

static_assert(raisable<const Exception &>);
static_assert(raisable<Exception &>);
static_assert(!raisable<Exception>);
static_assert(!raisable<const Exception>);
static_assert(!raisable<Exception &&>);
static_assert(!raisable<const Exception &&>);

TEST(AssertionTest, CheckAssertion) {
    for (int32_t value : {1, -1, 2, INT32_MIN, INT32_MAX})
        check_assertion(value);
    const char *file = nullptr;
    EXCEPTION_TRY {
        check_assertion(0);
    }
    EXCEPTION_HANDLER(frame) {
        EXPECT_EQ(frame.exception, &assertion_failed);
        file = frame.file;
    }
    EXCEPTION_END
    EXPECT_STREQ(file, "src/assert.cpp");
}

TEST(AssertionTest, RequireRaisesAtTheCallersLine) {
    int32_t line = 0;
    const int32_t expected = __LINE__ + 2;
    EXCEPTION_TRY {
        assert_require(1 + 1 == 3);
    }
    EXCEPTION_HANDLER(frame) {
        EXPECT_EQ(frame.exception, &assertion_failed);
        EXPECT_STREQ(frame.file, "tests/except_test.cpp");
        line = frame.line;
    }
    EXCEPTION_END
    EXPECT_EQ(line, expected);
    assert_require(true);
}

} // namespace
} // namespace lexspot

// SPDX-License-Identifier: MIT

#include <lexspot/cxx.hpp>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "failing_alloc.hpp"
#include "test_support.hpp"
#include <lexspot/fmt.hpp>
#include <lexspot/mp.hpp>

namespace lexspot {
namespace {

// A test that leaves a block allocated fails.
[[maybe_unused]] const bool leak_check = failing_alloc::check_every_test_for_leaks();

const Exception test_failure = {"Test failure"};
const Exception other_failure = {"Other failure"};
const Exception no_reason = {nullptr};

ExceptionFrame frame_of(const Exception *exception, const char *file, int32_t line) {
    return {nullptr, file, line, exception};
}

// Runs `f` and returns the Error it throws; fails the test when it throws
// none.
template <typename F>
Error error_from(F f) {
    try {
        f();
    } catch (const Error &e) {
        return e;
    }
    ADD_FAILURE() << "no Error thrown";
    return Error(frame_of(&no_reason, nullptr, 0));
}

// ---- Error

TEST(CxxErrorTest, WhatNamesReasonAndPlace) {
    struct Case {
        ExceptionFrame frame;
        std::string expected;
    };
    const Case cases[] = {
        {frame_of(&mp_overflow, "src/mp.cpp", 445), "Overflow raised at src/mp.cpp:445"},
        {frame_of(&test_failure, "a.cpp", 1), "Test failure raised at a.cpp:1"},
        {frame_of(&test_failure, "a.cpp", INT32_MAX), "Test failure raised at a.cpp:2147483647"},
        // No location unless the path is given and the line positive.
        {frame_of(&test_failure, "a.cpp", 0), "Test failure"},
        {frame_of(&test_failure, "a.cpp", -3), "Test failure"},
        {frame_of(&test_failure, nullptr, 7), "Test failure"},
        {frame_of(&assertion_failed, nullptr, 0), "Assertion failed"},
    };
    for (const Case &c : cases) {
        const Error e(c.frame);
        EXPECT_EQ(std::string(e.what()), c.expected);
        EXPECT_EQ(e.exception(), c.frame.exception);
        EXPECT_EQ(e.file(), c.frame.file);
        EXPECT_EQ(e.line(), c.frame.line);
    }
}

// what() is the uncaught-exception report's own wording, the null reason's
// address included: the report is "Uncaught exception ", what(), the line
// break that only a location brings, and "aborting...\n".
TEST(CxxErrorDeathTest, WhatIsTheUncaughtReportsWording) {
    const ExceptionFrame frames[] = {
        frame_of(&test_failure, "src/x.cpp", 12),
        frame_of(&test_failure, nullptr, 12),
        frame_of(&no_reason, "a.c", 7),
        frame_of(&no_reason, "a.c", 0),
    };
    for (const ExceptionFrame &f : frames) {
        const Error e(f);
        const bool located = f.file != nullptr && f.line > 0;
        const std::string report =
            std::string("Uncaught exception ") + e.what() + (located ? "\n" : "") + "aborting...\n";
        SCOPED_TRACE(report);
        EXPECT_EXIT(raise_exception(f.exception, f.file, f.line),
                    ::testing::KilledBySignal(SIGABRT), abort_report(::testing::Eq(report)));
    }
}

// std::exception must be copyable; a copy keeps all of it.
TEST(CxxErrorTest, CopiesKeepEverything) {
    const Error original(frame_of(&test_failure, "a.cpp", 9));
    const Error copy = original;
    Error assigned(frame_of(&other_failure, nullptr, 0));
    assigned = original;
    for (const Error *e : std::initializer_list<const Error *>{&copy, &assigned}) {
        EXPECT_STREQ(e->what(), "Test failure raised at a.cpp:9");
        EXPECT_EQ(e->exception(), &test_failure);
        EXPECT_STREQ(e->file(), "a.cpp");
        EXPECT_EQ(e->line(), 9);
    }
    static_assert(std::is_base_of_v<std::runtime_error, Error>);
    static_assert(std::is_nothrow_copy_constructible_v<Error>);
}

TEST(CxxErrorTest, FrameWithoutExceptionIsRefused) {
    EXPECT_EQ(raised_by([] { Error e(frame_of(nullptr, "a.cpp", 1)); }).exception,
              &assertion_failed);
}

// ---- throwing

int &pick(int &x) {
    return x;
}

TEST(CxxThrowingTest, ReturnsWhatTheCallableReturns) {
    EXPECT_EQ(throwing([](int a, int b) { return a * b; }, 6, 7), 42);

    int x = 1;
    int &same = throwing(pick, x);
    EXPECT_EQ(&same, &x);

    bool called = false;
    static_assert(std::is_void_v<decltype(throwing([&] { called = true; }))>);
    throwing([&] { called = true; });
    EXPECT_TRUE(called);

    // Move-only results come out whole; here a block the owner frees.
    MemOwner<char> str = throwing([] { return MemOwner<char>(fmt_alloc("%d|%s", 42, "x")); });
    EXPECT_STREQ(str.get(), "42|x");

    // Arguments are forwarded: an rvalue stays an rvalue.
    auto moved = std::make_unique<int>(5);
    std::unique_ptr<int> taken =
        throwing([](std::unique_ptr<int> &&p) { return std::move(p); }, std::move(moved));
    EXPECT_EQ(*taken, 5);
}

// An overflow of a fixed-width value, caught as a C++ exception that names
// the library's own raise.
TEST(CxxThrowingTest, LibraryRaiseIsThrownAsError) {
    std::vector<unsigned char> v(static_cast<size_t>(mp_bytes));
    const Error e = error_from([&] { throwing(mp_from_unsigned, v.data(), uint64_t{1} << 40); });
    EXPECT_EQ(e.exception(), &mp_overflow);
    EXPECT_STREQ(e.file(), "src/mp.cpp");
    EXPECT_GT(e.line(), 0);
    EXPECT_EQ(std::string(e.what()), "Overflow raised at src/mp.cpp:" + std::to_string(e.line()));
    EXPECT_EQ(exception_stack, nullptr);
}

// Whatever way f leaves, throwing's frame is off the stack and the frame
// that was innermost before is innermost again.
TEST(CxxThrowingTest, FrameIsPoppedOnEveryWayOut) {
    bool outer_handled = false;
    EXCEPTION_TRY {
        ExceptionFrame *const outer = exception_stack;

        throwing([] {});
        EXPECT_EQ(exception_stack, outer);

        const Error e = error_from([] { throwing(raise_exception, &test_failure, "t.cpp", 3); });
        EXPECT_EQ(e.exception(), &test_failure);
        EXPECT_STREQ(e.file(), "t.cpp");
        EXPECT_EQ(e.line(), 3);
        EXPECT_EQ(exception_stack, outer);

        // A C++ exception of f's own passes through as it is.
        EXPECT_THROW(throwing([] { throw std::out_of_range("mine"); }), std::out_of_range);
        EXPECT_EQ(exception_stack, outer);

        // The outer frame still catches what is raised outside throwing.
        raise_exception(&other_failure, "t.cpp", 4);
    }
    EXCEPTION_HANDLER(frame) {
        outer_handled = true;
        EXPECT_EQ(frame.exception, &other_failure);
    }
    EXCEPTION_END
    EXPECT_TRUE(outer_handled);
    EXPECT_EQ(exception_stack, nullptr);
}

// Frames that f establishes catch first; what their handlers raise, pass on
// or re-raise goes on outward to throwing's frame.
TEST(CxxThrowingTest, FramesInsideCatchFirst) {
    // Handled inside: throwing returns normally.
    int handled = 0;
    const int result = throwing([&] {
        EXCEPTION_TRY {
            raise_exception(&test_failure, "in.cpp", 1);
        }
        EXCEPTION_HANDLER(frame) {
            handled += frame.exception == &test_failure ? 1 : 100;
        }
        EXCEPTION_END
        return 7;
    });
    EXPECT_EQ(result, 7);
    EXPECT_EQ(handled, 1);

    struct Case {
        const char *name;
        void (*f)();
        const Exception *exception;
        const char *file;
        int32_t line;
    };
    const Case cases[] = {
        {"a raise inside a handler",
         [] {
             EXCEPTION_TRY {
                 raise_exception(&test_failure, "in.cpp", 1);
             }
             EXCEPTION_HANDLER(frame) {
                 raise_exception(&other_failure, "handler.cpp", 2);
             }
             EXCEPTION_END
         },
         &other_failure, "handler.cpp", 2},
        {"a re-raise",
         [] {
             EXCEPTION_TRY {
                 raise_exception(&test_failure, "in.cpp", 5);
             }
             EXCEPTION_HANDLER(frame) {
                 exception_reraise(frame);
             }
             EXCEPTION_END
         },
         &test_failure, "in.cpp", 5},
        // Two frames inside: the inner handler's raise goes to the outer
        // one, whose re-raise reaches throwing.
        {"a re-raise through two frames",
         [] {
             EXCEPTION_TRY {
                 EXCEPTION_TRY {
                     raise_exception(&test_failure, "in.cpp", 8);
                 }
                 EXCEPTION_HANDLER(frame) {
                     raise_exception(&other_failure, "inner.cpp", 9);
                 }
                 EXCEPTION_END
             }
             EXCEPTION_HANDLER(frame) {
                 exception_reraise(frame);
             }
             EXCEPTION_END
         },
         &other_failure, "inner.cpp", 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Error e = error_from([&] { throwing(c.f); });
        EXPECT_EQ(e.exception(), c.exception);
        EXPECT_STREQ(e.file(), c.file);
        EXPECT_EQ(e.line(), c.line);
        EXPECT_EQ(exception_stack, nullptr);
    }
}

// The inner throwing turns the raise into an Error, which the outer one lets
// through unchanged; after an inner call that returned, the outer frame is
// innermost again.
TEST(CxxThrowingTest, NestedThrowing) {
    const Error inner = error_from([] {
        throwing([] {
            throwing(raise_exception, &test_failure, "inner.cpp", 1);
            ADD_FAILURE() << "the inner throwing returned";
        });
    });
    EXPECT_EQ(inner.exception(), &test_failure);
    EXPECT_STREQ(inner.file(), "inner.cpp");

    const Error outer = error_from([] {
        throwing([] {
            EXPECT_EQ(throwing([] { return 1; }), 1);
            raise_exception(&other_failure, "outer.cpp", 2);
        });
    });
    EXPECT_EQ(outer.exception(), &other_failure);
    EXPECT_STREQ(outer.file(), "outer.cpp");
    EXPECT_EQ(exception_stack, nullptr);
}

// Under an EXCEPTION_TRY, the raise goes to throwing's frame, the innermost,
// and the Error leaves the block without running its handler.
TEST(CxxThrowingTest, ErrorPassesThroughHandlerFrames) {
    bool handler_ran = false;
    EXPECT_THROW(
        {
            EXCEPTION_TRY {
                throwing(raise_exception, &test_failure, "t.cpp", 1);
            }
            EXCEPTION_HANDLER(frame) {
                handler_ran = true;
            }
            EXCEPTION_END
        },
        Error);
    EXPECT_FALSE(handler_ran);
    EXPECT_EQ(exception_stack, nullptr);
}

void raise_from_apply(const void *key, void **, void *closure) {
    if (key == closure)
        raise_exception(&test_failure, "apply.cpp", 11);
}

void raise_from_conversion(int, va_list &args, PutFn, void *, unsigned char *, int, int) {
    raise_exception(&other_failure, "conversion.cpp", va_arg(args, int));
}

// Raises from callbacks that the library calls reach throwing's frame and
// unwind through the library's own frames.
TEST(CxxThrowingTest, RaiseFromCallbacks) {
    static int keys[3];
    TableOwner table(table_create(0, nullptr, nullptr));
    for (int &key : keys)
        table_store(table.get(), &key, nullptr);
    const Error from_apply =
        error_from([&] { throwing(table_for_each, table.get(), raise_from_apply, &keys[1]); });
    EXPECT_EQ(from_apply.exception(), &test_failure);
    EXPECT_STREQ(from_apply.file(), "apply.cpp");
    EXPECT_EQ(from_apply.line(), 11);

    const ConversionFn previous = fmt_install('Q', raise_from_conversion);
    char buf[16];
    const Error from_conversion =
        error_from([&] { throwing([&] { fmt_buffer(buf, sizeof buf, "ab%Qcd", 12); }); });
    fmt_install('Q', previous);
    EXPECT_EQ(from_conversion.exception(), &other_failure);
    EXPECT_STREQ(from_conversion.file(), "conversion.cpp");
    EXPECT_EQ(from_conversion.line(), 12);
    EXPECT_EQ(std::string_view(buf, 2), "ab");

    // The growing string of fmt_alloc is freed on the way (the leak check
    // would see it otherwise), as is everything of the sink's.
    fmt_install('Q', raise_from_conversion);
    EXPECT_THROW(throwing([] { return MemOwner<char>(fmt_alloc("%s%Q", "xyz", 1)); }), Error);
    fmt_install('Q', previous);
    EXPECT_EQ(exception_stack, nullptr);
}

void throw_from_conversion(int, va_list &, PutFn, void *, unsigned char *, int, int) {
    throw std::out_of_range("conversion");
}

uint32_t throw_from_hash(const void *) {
    throw std::out_of_range("hash");
}

// A C++ exception from a callback that the library calls inside throwing's
// callable passes throwing unchanged, not as an Error; the library's frames
// free what they hold on the way (fmt_alloc's string, here before and after
// it has grown) and leave the table as it was.
TEST(CxxThrowingTest, CxxExceptionFromCallbacksPassesThrough) {
    const ConversionFn previous = fmt_install('Q', throw_from_conversion);
    const std::string long_text(1000, 'x');
    for (const char *format : {"%Q", "%s%Q"}) {
        SCOPED_TRACE(format);
        const int64_t before = failing_alloc::live_blocks();
        EXPECT_THROW(throwing([&] { return MemOwner<char>(fmt_alloc(format, long_text.c_str())); }),
                     std::out_of_range);
        EXPECT_EQ(failing_alloc::live_blocks(), before);
        EXPECT_EQ(exception_stack, nullptr);
    }
    fmt_install('Q', previous);

    static int key;
    TableOwner table(table_create(0, nullptr, throw_from_hash));
    EXPECT_THROW(throwing(table_store, table.get(), &key, nullptr), std::out_of_range);
    EXPECT_EQ(table_count(table.get()), 0);
    EXPECT_EQ(table.get()->stamp, 0u);
    EXPECT_EQ(exception_stack, nullptr);
}

// ---- Owners

TEST(CxxOwnerTest, HandleOwnersFreeReleaseAndMove) {
    const int64_t before = failing_alloc::live_blocks();
    {
        TableOwner table(table_create(10, nullptr, nullptr));
        ArrayOwner array(array_create(3, 8));
        ArrayOwner kept(array_create(2, 2)); // freed only when it ends
        EXPECT_TRUE(table);
        EXPECT_EQ(table_count(table.get()), 0);
        EXPECT_EQ(array_count(array.get()), 3);
        EXPECT_GT(failing_alloc::live_blocks(), before);

        // Moving hands the one handle on: only the last owner frees it.
        TableOwner moved(std::move(table));
        EXPECT_FALSE(table);
        EXPECT_EQ(table.get(), nullptr);
        ArrayOwner assigned(array_create(1, 1));
        assigned = std::move(array); // frees the one-element array
        EXPECT_EQ(array_count(assigned.get()), 3);

        // Released handles are the caller's again.
        Array mine = assigned.release();
        EXPECT_FALSE(assigned);
        array_destroy(&mine);

        // reset frees what was owned and takes the new handle.
        moved.reset(table_create(0, nullptr, nullptr));
        moved.reset();
        EXPECT_FALSE(moved);
        ArrayOwner empty(nullptr);
        EXPECT_FALSE(empty);
        static_assert(!std::is_copy_constructible_v<TableOwner>);
        static_assert(!std::is_copy_assignable_v<ArrayOwner>);
    }
    EXPECT_EQ(failing_alloc::live_blocks(), before);
}

TEST(CxxOwnerTest, MemOwnerReleasesBlocks) {
    const int64_t before = failing_alloc::live_blocks();
    {
        MemOwner<char> str(fmt_alloc("%05d", 42));
        EXPECT_STREQ(str.get(), "00042");
        MemOwner<void *> pairs(
            table_to_pairs(TableOwner(table_create(0, nullptr, nullptr)).get(), nullptr));
        EXPECT_EQ(pairs.get()[0], nullptr);
        MemOwner<int[]> numbers(static_cast<int *>(mem_allocate_zeroed(4, sizeof(int))));
        EXPECT_EQ(numbers[3], 0);
        MemOwner<char> none;
        EXPECT_EQ(failing_alloc::live_blocks(), before + 3);
    }
    EXPECT_EQ(failing_alloc::live_blocks(), before);
}

// Every Text made while a scope lives is reclaimed when it ends, new chunks
// included: the string space is where it was before the scope.
TEST(CxxOwnerTest, TextMarkScopeReleasesOnBothPaths) {
    const int64_t blocks = failing_alloc::live_blocks();
    TextChunk *const chunk = text_current_chunk;
    char *const avail = chunk->avail;
    auto fill = [] {
        // More than a chunk's spare room: the scope's release must free
        // chunks as well as rewind.
        text_from_view(std::string(30000, 'a'));
        text_from_cstr("b");
    };
    auto unchanged = [&] {
        EXPECT_EQ(text_current_chunk, chunk);
        EXPECT_EQ(text_current_chunk->avail, avail);
        EXPECT_EQ(failing_alloc::live_blocks(), blocks);
    };
    {
        TextMarkScope scope;
        fill();
        {
            TextMarkScope inner;
            fill();
        }
        fill();
    }
    unchanged();

    const Error e = error_from([&] {
        throwing([&] {
            TextMarkScope scope;
            fill();
            TextMarkScope inner;
            fill();
            raise_exception(&test_failure, "t.cpp", 1);
        });
    });
    EXPECT_EQ(e.exception(), &test_failure);
    unchanged();
    static_assert(!std::is_copy_constructible_v<TextMarkScope>);
    static_assert(!std::is_move_constructible_v<TextMarkScope>);
}

// With each allocation refused in turn, whatever the owners held when the
// raise came is freed: the sweep ends with no block left over, on the
// raising runs and on the last, complete one.
TEST(CxxOwnerTest, OwnersFreeEverythingWhenAnyRequestFails) {
    static int key;
    auto build = [] {
        TextMarkScope scope;
        TableOwner table(table_create(100, nullptr, nullptr));
        ArrayOwner lines(array_create(0, 3));
        MemOwner<char> name(fmt_alloc("%s:%d", "file", 12));
        const Text word = text_from_view("identifier");
        table_store(table.get(), &key, lines.get());
        for (int32_t n = 1; n <= 40; ++n)
            array_set_count(lines.get(), n);
        ArrayOwner copy(array_clone(lines.get(), 80));
        MemOwner<char> cstr(
            text_to_cstr(nullptr, 0, text_concat(word, text_from_view(name.get()))));
        return std::string(cstr.get());
    };
    int32_t runs = 0;
    int32_t raised = 0;
    const int32_t requests = failing_alloc::with_each_request_refused([&] {
        ++runs;
        const int64_t before = failing_alloc::live_blocks();
        try {
            EXPECT_EQ(throwing(build), "identifierfile:12");
        } catch (const Error &e) {
            ++raised;
            EXPECT_EQ(e.exception(), &allocation_failed) << "run " << runs;
        }
        EXPECT_EQ(failing_alloc::live_blocks(), before) << "run " << runs;
        EXPECT_EQ(exception_stack, nullptr);
    });
    EXPECT_GT(requests, 10);
    EXPECT_EQ(raised, requests);
    EXPECT_EQ(runs, requests + 1);
}

// ---- Texts and string views

TEST(CxxTextTest, ViewSharesTheCharacters) {
    const char chars[] = "a\0b";
    const Text t = text_wrap(chars, 3);
    const std::string_view v = text_view(t);
    EXPECT_EQ(v.data(), chars);
    EXPECT_EQ(v, std::string_view(chars, 3));
    EXPECT_EQ(text_view(text_none).size(), 0u);
    EXPECT_EQ(text_view(text_upper_letters), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");

    for (const Text bad : {Text{-1, chars}, Text{0, nullptr}})
        EXPECT_EQ(raised_by([&] { text_view(bad); }).exception, &assertion_failed);
}

// A copy in string space, of any bytes, taking exactly its length there (one
// byte more when it starts with a NUL).
TEST(CxxTextTest, FromViewCopiesIntoStringSpace) {
    TextMarkScope scope;
    const std::string long_text(20000, 'x');
    const Text in_space = text_from_cstr("in space");
    const std::string_view cases[] = {
        "a",
        "abc",
        std::string_view("a\0b", 3),
        std::string_view("\0", 1),
        std::string_view("\0\0z", 3),
        long_text,
        text_view(in_space),
        text_view(text_all_chars), // the constants' own table, from byte 0
        text_view(text_slice(text_all_chars, 66, 69)),
    };
    for (const std::string_view view : cases) {
        SCOPED_TRACE(std::string(view.substr(0, 8)));
        TextChunk *const chunk = text_current_chunk;
        const char *const was = chunk->avail;
        const Text copy = text_from_view(view);
        EXPECT_EQ(text_view(copy), view);
        EXPECT_NE(copy.str, view.data());
        // Taken last, so at the end of the current chunk.
        EXPECT_GE(copy.str, reinterpret_cast<const char *>(text_current_chunk + 1));
        EXPECT_EQ(copy.str + copy.len, text_current_chunk->avail);
        if (text_current_chunk == chunk) {
            EXPECT_EQ(text_current_chunk->avail - was,
                      static_cast<int64_t>(view.size()) + (view[0] == '\0' ? 1 : 0));
        }
    }

    std::string source = "changes";
    const Text copy = text_from_view(source);
    source[0] = 'C';
    EXPECT_EQ(text_view(copy), "changes");

    const Text empty = text_from_view({});
    EXPECT_EQ(empty.len, 0);
    EXPECT_NE(empty.str, nullptr);
}

TEST(CxxTextTest, FromViewRefusesTooLongBeforeReading) {
    const char one = 'a';
    const std::string_view too_long(&one, size_t{INT32_MAX} + 1);
    EXPECT_EQ(raised_by([&] { text_from_view(too_long); }).exception, &assertion_failed);
}

} // namespace
} // namespace lexspot

// SPDX-License-Identifier: MIT

// Helpers shared by the test binaries.
#pragma once

#include <cstddef>
#include <cstdio>
#include <regex>
#include <string>

#include <gmock/gmock.h>

#include <lexspot/except.hpp>

#if defined(__SANITIZE_ADDRESS__)
#define LEXSPOT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LEXSPOT_ASAN 1
#endif
#endif

#ifdef LEXSPOT_ASAN
// Declared here: g++ ships the sanitizer runtime without this header.
extern "C" size_t __sanitizer_get_allocated_size(const volatile void *p);
#endif

namespace lexspot {

// Counts the comparisons a differential test makes with its oracle and prints
// "[ compared ] <count> <what>" when the test ends. CTest keeps the line in
// its log, where the CI sums it for each architecture and requires a cross
// build to have compared exactly as much as the native one. The count is
// taken by the comparison itself, so a case that skips its comparison is not
// counted:
//
//     Compared gmp("results against GMP");
//     EXPECT_PRED_FORMAT2(gmp, got, expected) << "context";
//
// or, where the caller works out whether the results agree, through `agree`.
class Compared {
  public:
    explicit Compared(const char *what) : what_(what) {}
    Compared(const Compared &) = delete;
    Compared &operator=(const Compared &) = delete;
    ~Compared() { std::printf("[ compared ] %lld %s\n", count_, what_); }

    // The predicate-formatter of EXPECT_PRED_FORMAT2: counts one comparison,
    // and fails showing both values when got differs from expected.
    template <typename Got, typename Expected>
    ::testing::AssertionResult operator()(const char *got_text, const char *expected_text,
                                          const Got &got, const Expected &expected) {
        ++count_;
        if (got == expected)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << got_text << " is " << ::testing::PrintToString(got) << "\n"
               << expected_text << " (" << what_ << ") is " << ::testing::PrintToString(expected);
    }

    // Counts one comparison whose outcome is `same`, and returns it.
    bool agree(bool same) {
        ++count_;
        return same;
    }

  private:
    const char *what_;
    long long count_ = 0;
};

// Runs `f` under a frame and returns what it raised (a zeroed frame when
// nothing was raised).
template <typename F>
ExceptionFrame raised_by(F f) {
    ExceptionFrame seen{};
    EXCEPTION_TRY {
        f();
    }
    EXCEPTION_HANDLER(frame) {
        seen = frame;
    }
    EXCEPTION_END
    return seen;
}

// The exact size of a heap block, where the allocator can tell it (the
// sanitizer build); 0 elsewhere.
#ifdef LEXSPOT_ASAN
constexpr bool allocated_size_known = true;
inline size_t allocated_size(const void *p) {
    return __sanitizer_get_allocated_size(p);
}
#else
constexpr bool allocated_size_known = false;
inline size_t allocated_size(const void *) {
    return 0;
}
#endif

// Standard error of a process that was killed by a signal, without the line
// that qemu-user adds for it ("qemu: uncaught target signal 6 (Aborted) -
// core dumped"). Only a cross build's tests, which run under the emulator,
// remove it; elsewhere the text is compared whole.
inline std::string without_emulator_note(const std::string &err) {
#ifdef LEXSPOT_EMULATOR
    static const std::regex note("qemu: uncaught target signal [0-9]+ \\([^)\n]*\\)[^\n]*\n$");
    return std::regex_replace(err, note, "");
#else
    return err;
#endif
}

// A death test's matcher of standard error, applied to it without the
// emulator's note.
template <typename M>
auto abort_report(M matcher) {
    return ::testing::ResultOf(without_emulator_note,
                               ::testing::Matcher<const std::string &>(matcher));
}

} // namespace lexspot

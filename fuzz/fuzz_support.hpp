// SPDX-License-Identifier: MIT

// What the fuzz targets share: reading choices from the input bytes, catching
// a raise through the library's own handler scope, and failing loudly.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <lexspot/except.hpp>

namespace lexspot::fuzz {

// The input, one byte at a time; 0 once it is used up.
struct Input {
    const uint8_t *data;
    size_t size;
    size_t next = 0;

    bool more() const { return next < size; }
    int byte() { return next < size ? data[next++] : 0; }
    // A value in 0..n - 1 (n > 0).
    int below(int n) { return static_cast<int>(word() % static_cast<uint32_t>(n)); }
    // Two bytes, for choices wider than one.
    uint32_t word() {
        uint32_t lo = static_cast<uint32_t>(byte());
        return lo | static_cast<uint32_t>(byte()) << 8;
    }
    uint64_t u64() {
        uint64_t r = 0;
        for (int k = 0; k < 8; ++k)
            r = r << 8 | static_cast<uint64_t>(byte());
        return r;
    }
    bool chance(int one_in) { return below(one_in) == 0; }
    std::string bytes(int max_len) {
        std::string r(static_cast<size_t>(below(max_len + 1)), '\0');
        for (char &c : r)
            c = static_cast<char>(byte());
        return r;
    }
};

// Prints the failed check and the case, then aborts so that libFuzzer keeps
// the input.
[[noreturn]] inline void fail(const char *target, const char *format, ...) {
    std::fprintf(stderr, "%s: ", target);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

// The exception `f` raised, or null when it returned normally.
template <typename F>
const Exception *raised_by(F f) {
    const Exception *raised = nullptr;
    EXCEPTION_TRY {
        f();
    }
    EXCEPTION_HANDLER(frame) {
        raised = frame.exception;
    }
    EXCEPTION_END
    return raised;
}

} // namespace lexspot::fuzz

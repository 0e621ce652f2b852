// SPDX-License-Identifier: MIT

// Makes a chosen libc allocation request fail, so that exhaustion can be
// tested at every request an operation makes, however small, and counts the
// blocks obtained and not yet freed, so that a test can see a leak itself.
//
// A test binary opts in by linking the `failing_alloc` library
// (tests/CMakeLists.txt), which wraps malloc, calloc, realloc and free at link
// time (tests/failing_alloc.cpp). Only calls made by code linked statically
// into the binary are seen; the C++ runtime's own allocations are not.
#pragma once

#include <cstddef>
#include <cstdint>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace failing_alloc {

// Requests still to pass before the one that fails; 0 when disarmed. Every
// malloc, calloc and realloc call is a request.
extern int32_t countdown;

// The size in bytes of the last request refused (count × size for calloc).
extern int64_t refused_size;

// The number of blocks that malloc, calloc and realloc have handed out and
// that are not yet freed (blocks from unwrapped code are not counted, even
// when they are freed here).
int64_t live_blocks();

// Runs `f` with its `n`th request (1-based) refused, and disarms afterwards
// whether or not the request was reached. Returns whether it was reached.
template <typename F>
bool with_request_refused(int32_t n, F f) {
    countdown = n;
    f();
    const bool reached = countdown == 0;
    countdown = 0;
    return reached;
}

// Runs `attempt()` once with each of its requests refused in turn, the first,
// then the second, and so on, and finally once with none refused; returns how
// many requests that last run made. `attempt` must make the same requests
// every time it is run up to the refused one.
template <typename F>
int32_t with_each_request_refused(F attempt) {
    constexpr int32_t limit = 100000; // against an attempt that never ends
    for (int32_t n = 1; n <= limit; ++n) {
        if (!with_request_refused(n, attempt))
            return n - 1;
    }
    ADD_FAILURE() << "more than " << limit << " requests";
    return limit;
}

// Makes every test of the binary fail that ends with more or fewer blocks
// allocated than it started with. Call it before the tests run, for example
// to initialise a constant at namespace scope; returns true.
bool check_every_test_for_leaks();

} // namespace failing_alloc

namespace lexspot {

// What `f` raises when its `n`th allocation request is refused.
template <typename F>
ExceptionFrame raised_when_request_refused(int32_t n, F f) {
    ExceptionFrame seen{};
    EXPECT_TRUE(failing_alloc::with_request_refused(n, [&] { seen = raised_by(f); }))
        << "request " << n << " was never made";
    return seen;
}

} // namespace lexspot

// Makes a chosen libc allocation request fail, so that exhaustion can be
// tested at every request an operation makes, however small.
//
// Include this in exactly one source file of a test binary that is linked with
// -Wl,--wrap=malloc -Wl,--wrap=calloc (tests/CMakeLists.txt does so for the
// binaries that use it): the library's malloc and calloc calls then come here.
// Calls from shared libraries (the C++ runtime's own allocations) are not
// wrapped and never fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include <gtest/gtest.h>

#include "test_support.hpp"

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_calloc(size_t count, size_t size);

namespace failing_alloc {

// Requests still to pass before the one that fails; 0 when disarmed.
inline int32_t countdown = 0;

// True when the request being made is the one chosen to fail.
inline bool refuse() {
    if (countdown == 0)
        return false;
    return --countdown == 0;
}

// Runs `f` with its `n`th malloc or calloc request (1-based) refused, and
// disarms afterwards whether or not the request was reached. Returns whether
// it was reached.
template <typename F>
bool with_request_refused(int32_t n, F f) {
    countdown = n;
    f();
    const bool reached = countdown == 0;
    countdown = 0;
    return reached;
}

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

extern "C" void *__wrap_malloc(size_t size) {
    return failing_alloc::refuse() ? nullptr : __real_malloc(size);
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
    return failing_alloc::refuse() ? nullptr : __real_calloc(count, size);
}

// SPDX-License-Identifier: MIT

// Helpers shared by the test binaries.
#pragma once

#include <cstddef>

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

} // namespace lexspot

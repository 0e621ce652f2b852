// SPDX-License-Identifier: MIT

// Assertions: the exception raised when a checked precondition fails, the
// two ways of checking one, and the one way every module raises at its own
// source location.
#pragma once

#include <cstdint>

#include "except.hpp"
#include "export.hpp"

namespace lexspot {

// Raised whenever a checked precondition does not hold. Reason "Assertion failed".
extern LEXSPOT_API const Exception assertion_failed;

// The function form: raises `assertion_failed` when `value` is 0, located
// inside this module rather than at the caller.
LEXSPOT_API void check_assertion(int32_t value);

// The inline form every module uses for its preconditions: raises
// `assertion_failed` at the caller's own file and line when `holds` is false.
// The location defaults to the call site, so a check reads
// `assert_require(n > 0);`.
inline void assert_require(bool holds, const char *file = __builtin_FILE(),
                           int32_t line = __builtin_LINE()) {
    // __builtin_expect rather than [[unlikely]], which is C++20: the headers
    // are C++17.
    if (__builtin_expect(!holds, 0))
        raise_exception(&assertion_failed, file, line);
}

// Raises `exception` at the caller's own file and line, which default to the
// call site as in `assert_require`: a module raises with
// `assert_raise(mp_overflow);`.
[[noreturn]] inline void assert_raise(const Exception &exception,
                                      const char *file = __builtin_FILE(),
                                      int32_t line = __builtin_LINE()) {
    raise_exception(&exception, file, line);
}

// A temporary is refused: the handler's frame keeps the exception's address,
// which would name a record gone by the time the stack has unwound. The same
// defaults as above, so that a call with a temporary alone picks this one.
void assert_raise(const Exception &&exception, const char *file = __builtin_FILE(),
                  int32_t line = __builtin_LINE()) = delete;

} // namespace lexspot

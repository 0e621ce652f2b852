// SPDX-License-Identifier: MIT

// Where the formatter's standard conversions mean to differ from the C
// library's printf, shared by the unit tests and the fuzz target so that
// both compare against snprintf on the same terms.
#pragma once

#include <cstring>

namespace lexspot::fmt_model {

// The conversion characters that have a routine at start. Every other
// character, upper-case forms, `#`, length modifiers and `n` included, raises
// `assertion_failed` as a conversion.
inline constexpr char standard_conversions[] = "cdefgopsux";

// The flags that give a conversion another output than printf's:
// - `+` and space sign the unsigned numerals (`u`, `o`, `x`) and the address
//   of `p` as `d` signs a non-negative number; printf ignores them there;
// - `0` never fills a `c` or `s` field; printf leaves it undefined.
inline const char *flags_unlike_printf(char conversion) {
    switch (conversion) {
    case 'u':
    case 'o':
    case 'x':
    case 'p': return "+ ";
    case 'c':
    case 's': return "0";
    default: return "";
    }
}

inline bool flag_unlike_printf(char conversion, char flag) {
    return std::strchr(flags_unlike_printf(conversion), flag) != nullptr;
}

// The other differences:
// - a `.` followed by neither digits nor `*` is no precision; printf reads 0;
// - `p` prints the address's lower-case hexadecimal digits with no "0x", as
//   printf's `lx` does, and ignores a precision;
// - the floating conversions refuse an effective precision above this one;
// - a null `s` argument raises `assertion_failed`.
inline constexpr int largest_float_precision = 99;

} // namespace lexspot::fmt_model

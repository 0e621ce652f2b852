// SPDX-License-Identifier: MIT

// Formatted output: a printf-style interpreter over an open table of
// conversion routines.
//
// The engine reads a format, sends its literal characters to a character
// sink one at a time, and hands each directive
//     % [flags] [width | *] [. [precision digits | *]] conversion-character
// to the routine that the table of conversions holds for the conversion
// character. The engine knows no argument types: each routine takes its own
// arguments, in format order, from the argument list that the engine passes
// it by reference. Clients extend or replace the table with `fmt_install`.
//
// A directive, read in this order and no other:
// - `%%` prints one `%`; the two must be adjacent (in `%5%` the second `%` is
//   a conversion character, which has no routine).
// - Flags: any of the characters of `fmt_flag_chars` ("-+ 0" at start), in
//   any order, each up to 255 times. `-` left-justifies and wins over `0`;
//   `0` fills a numeral's field with zeros after its sign; `+` gives a sign
//   to a numeral that has none of its own, and space gives it a space unless
//   `+` is there too. There is no `#` and no `'`.
// - Width: decimal digits (a leading `0` is the flag), or `*`, which takes an
//   int argument; a negative width left-justifies in a field of its absolute
//   value.
// - Precision: `.` and decimal digits, or `.*`, which takes an int argument;
//   a negative one is no precision, and so is a `.` followed by neither
//   (printf reads that as 0).
// - The conversion character: the byte after all that.
//
// The built-in conversions: ten characters, served by eight routines. The
// width and the `-` flag apply to all of them; "numeral" marks the ones that
// also take the `+`, space and `0` flags and print through `fmt_pad_number`.
//
//   char   argument       prints                                 precision
//   c      int            its low byte, as one character         ignored
//   d      int            decimal; "-" before a negative value   minimum digits
//   u      unsigned int   decimal                                minimum digits
//   o      unsigned int   octal, no leading "0"                  minimum digits
//   x      unsigned int   hexadecimal 0-9a-f, no "0x"            minimum digits
//   p      void *         the address in hexadecimal 0-9a-f,     ignored
//                         no "0x"
//   s      const char *   the characters before the NUL          maximum characters
//   e f g  double         what snprintf prints for "%.Pe",       P (0 to 99)
//                         "%.Pf", "%.Pg" at precision P
// d, u, o, x, p, e, f and g are numerals.
//
// Edge cases, as they print:
// - %c of 0 sends a NUL byte. Its field is padded with spaces only: the
//   precision and the `0`, `+` and space flags have no effect.
// - An integer precision is a minimum digit count, filled with zeros after
//   the sign, and turns the `0` flag off: %.4d of -42 is "-0042", %05.3d of
//   42 is "  042". At precision 0 the value 0 prints no digit: %.0d, %.0u,
//   %.0o and %.0x of 0 print only the sign that `+` or space gives and the
//   width's padding.
// - `+` and space sign u, o, x and p as they sign d: %+x of 255 is "+ff"
//   (printf ignores them there).
// - %p of a null pointer prints "0". Since the precision is ignored, the `0`
//   flag still fills: %08p of 0x1234 is "00001234".
// - %s of a null pointer raises `assertion_failed`. The `0`, `+` and space
//   flags have no effect; %.3s of "hello" is "hel".
// - e, f and g: P is the precision, 6 when there is none, and 1 for %g at
//   precision 0; a P of 100 or more raises `assertion_failed`. A float
//   argument arrives as a double. The text is snprintf's own, sign, "inf"
//   and "nan" included; `0` fills after its sign (%08.3f of -1.5 is
//   "-001.500"), but an infinity or a NaN is padded with spaces.
//
// Not supported: each of these is a conversion character with no routine,
// which raises `assertion_failed` before anything of the directive is
// printed.
// - Length modifiers (h, hh, l, ll, j, z, t, L): in %ld the `l` is the
//   conversion character. A 64-bit integer has no built-in conversion.
// - %i, %X, %E, %F, %G, %a, %A and %n (nothing writes through an argument).
// - `#` and `'`, which are not flags and so are taken as conversion
//   characters, and argument positions: in %1$d, 1 is the width and `$` the
//   conversion character.
// Clients add any of them with `fmt_install`; the floating routine serves
// E, F, G, a and A too when installed under them. The other modules' routines
// are installed the same way, under the characters a client picks: text.hpp's
// `text_format` takes a `const Text *`; mp.hpp's `mp_format_s` and
// `mp_format_u` take two arguments, a pointer to the value's bytes and then
// an int base. The lexspot program installs `text_format` as %T and
// `mp_format_s` as %D.
//
// Misuse:
// - A conversion character with no routine (including the NUL that ends a
//   format inside a directive), a flag repeated a 256th time, a `*` argument
//   of INT_MIN, or a width or precision in digits above INT_MAX raises
//   `assertion_failed` at src/fmt; the output before the directive stays
//   sent.
// - An argument of another type than its conversion takes, or too few
//   arguments, is undefined behaviour, as with printf, and nothing checks
//   them: the entry points are not declared printf-like to the compiler,
//   since the table is open. Arguments beyond the last that the format takes
//   are ignored.
//
// What a routine receives:
// - the flag array: 256 counts, one per byte value, of the flag characters
//   seen in the directive (0..255); the routine may change them;
// - the width and the precision: INT_MIN (`fmt_unspecified`) when missing.
//   A negative width means left-justify in a field of its absolute value; a
//   negative precision means no precision.
// Every routine applies flags, width and precision through one of the two
// emitters, `fmt_pad_string` and `fmt_pad_number`.
//
// Every character reaches the sink as an unsigned byte value 0..255. Nothing
// is buffered: what reached the sink before a raise stays there.
//
// Routines and sinks are client code, and may also leave by a C++ exception
// of their own (or an `Error` from cxx.hpp's `throwing`). The engine holds
// nothing but its argument list, which it ends, and passes the exception on
// unchanged, as it does a raise; the entry points leave their destination as
// a raise would (`fmt_alloc` frees its string; a FmtBuffer keeps the
// characters sent, with `next` after them and no NUL).
//
// Process-wide state, not locked (the process is single-threaded):
// - The table of conversions, 256 routines indexed by the conversion
//   character as an unsigned byte, lives in src/fmt.cpp and is reached only
//   through `fmt_install`, which returns what an entry held: installing the
//   routine returned restores the entry.
// - The flag characters: `fmt_flag_chars`, below.
// - The template of the floating conversions, "%.", two digits of P and the
//   conversion character, also lives in src/fmt.cpp; every e, f and g
//   conversion rewrites it, so the floating routine is not reentrant.
// Misuse of the entry points below raises `assertion_failed` at src/fmt.
#pragma once

#include <climits>
#include <cstdarg>
#include <cstdio>

#include "except.hpp"
#include "export.hpp"

namespace lexspot {

// A character sink: receives one byte value and the sink's own closure, and
// returns what the sink makes of it (the sinks here return the character
// stored, or `putc`'s result). The formatter ignores the result.
using PutFn = int (*)(int c, void *closure);

// A conversion routine: `code` is the conversion character (1..255), `args`
// the engine's argument list, from which the routine takes its arguments.
using ConversionFn = void (*)(int code, va_list &args, PutFn put, void *closure,
                              unsigned char flags[256], int width, int precision);

// The width or precision of a directive that gives none.
inline constexpr int fmt_unspecified = INT_MIN;

// Raised by the bounded-buffer sink when the buffer is full. Reason
// "Formatting Overflow".
extern LEXSPOT_API const Exception format_overflow;

// The characters accepted as flags, NUL-terminated; initially "-+ 0". Null
// means that no character is a flag. Read again for every directive.
extern LEXSPOT_API const char *fmt_flag_chars;

// The closure of the bounded-buffer and growing-string sinks.
// Invariant between calls of the sink: buf <= next <= buf + size.
struct FmtBuffer {
    char *buf;  // start of the buffer
    char *next; // where the next character goes
    int size;   // capacity in bytes
};

// ---- The engine and its entry points

// Interprets `format`, sending its output to `put` with `closure`. Requires
// put and format not null. Raises `assertion_failed` for a flag repeated a
// 256th time, a `*` argument of INT_MIN, a width or precision in digits above
// INT_MAX, and a conversion character with no routine (including the NUL
// ending a format inside a directive).
LEXSPOT_API void fmt_vemit(PutFn put, void *closure, const char *format, va_list args);
LEXSPOT_API void fmt_emit(PutFn put, void *closure, const char *format, ...);

// To standard output, or to `stream` (not tested), through `putc`; nothing
// is flushed.
LEXSPOT_API void fmt_stdout(const char *format, ...);
LEXSPOT_API void fmt_stream(FILE *stream, const char *format, ...);

// Into the caller's buffer of `size` bytes, NUL-terminated. Returns the
// number of characters before the NUL. Requires buf not null, size > 0,
// format not null. A character or NUL that does not fit raises
// `format_overflow`, leaving the first `size` characters and no NUL.
LEXSPOT_API int fmt_vbuffer(char *buf, int size, const char *format, va_list args);
LEXSPOT_API int fmt_buffer(char *buf, int size, const char *format, ...);

// The same into a FmtBuffer that the caller set up over its buffer as
// {buf, buf, size}, continuing at `next`: each call writes over the NUL the
// one before left, and leaves `next` on its own NUL, so that successive
// calls join their output. Returns the number of characters before the
// NUL, from `buf`. Requires buffer not null, its buf not null, size > 0,
// buf <= next <= buf + size, format not null. On `format_overflow` `next`
// is left at buf + size.
LEXSPOT_API int fmt_vappend(FmtBuffer *buffer, const char *format, va_list args);
LEXSPOT_API int fmt_append(FmtBuffer *buffer, const char *format, ...);

// Into a new NUL-terminated string of exactly the length needed, which the
// caller frees with `mem_release`. Requires format not null. If anything
// raises or throws, the partial string is freed. A string that would need
// more than INT_MAX bytes raises `allocation_failed` at src/fmt.
LEXSPOT_API char *fmt_valloc(const char *format, va_list args);
LEXSPOT_API char *fmt_alloc(const char *format, ...);

// ---- The sinks

// `closure` is a FILE *; returns `putc`'s result.
LEXSPOT_API int fmt_put_stream(int c, void *closure);
// `closure` is a FmtBuffer; raises `format_overflow` when it is full.
LEXSPOT_API int fmt_put_bounded(int c, void *closure);
// `closure` is a FmtBuffer over a `mem_allocate` block; a full block is
// doubled with `mem_reallocate` (capped at INT_MAX bytes).
LEXSPOT_API int fmt_put_growing(int c, void *closure);

// ---- The table of conversions

// Stores `routine` (null removes the conversion) under `code` and returns the
// routine that was there (may be null). Requires 1 <= code <= 255. Takes
// effect at the next directive interpreted.
LEXSPOT_API ConversionFn fmt_install(int code, ConversionFn routine);

// ---- The emitters

// Both emit the `len` bytes at `str` (no NUL needed) in a field of `width`,
// and require str not null, len >= 0, flags not null. Both change `flags`:
// a negative width sets the `-` count to 1, and a precision (>= 0) clears
// the `0` count.

// Text: a precision is a maximum length; pads with spaces, on the left
// unless the `-` flag is given.
LEXSPOT_API void fmt_pad_string(const char *str, int len, PutFn put, void *closure,
                                unsigned char flags[256], int width, int precision);

// Numeral: an optional leading sign, then digits (or any text). A precision
// is a minimum digit count; with precision 0 the numeral "0" prints no digit.
// Without a sign of its own the numeral takes `+` from the `+` flag, else a
// space from the space flag. `-` left-justifies; otherwise the `0` flag
// fills with zeros after the sign, else spaces fill before it.
LEXSPOT_API void fmt_pad_number(const char *str, int len, PutFn put, void *closure,
                                unsigned char flags[256], int width, int precision);

} // namespace lexspot

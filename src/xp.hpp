// SPDX-License-Identifier: MIT

// Digit arrays: unsigned integers of any length.
//
// A digit array is an unsigned integer held in n consecutive bytes that the
// caller owns, base 256, least significant digit first: its value is the sum
// of x[i] * 256^i for i below n. The length is a signed 32-bit count passed
// with every call and never stored; all operands of one primitive share it.
// Leading zero digits carry no meaning, and the significant length of an array
// is the index of its top nonzero digit plus 1 (1 for zero).
//
// Rules shared by every operation here:
// - Lengths are at least 1, and every pointer addresses as many digits as its
//   length says. The caller sizes every destination. Should a length of 0 or
//   less be passed, no digit of that array is read or written (`xp_render`
//   writes "0"; `xp_divide` raises for a divisor length below 1).
// - A result may be written into one of its operand arrays (z the very same
//   array as x or y); each operation reads an operand digit before it writes
//   the result digit at that place. Arrays that overlap at an offset are not
//   supported. `xp_times` and `xp_divide` restrict this further.
// - Nothing is allocated and no state is kept: every call is reentrant.
// - The primitives (everything but `xp_divide`, `xp_parse` and `xp_render`)
//   test nothing and raise nothing; their callers guarantee their
//   requirements, and decide what a carry, borrow or leftover means.
//   `xp_divide`, `xp_parse` and `xp_render` raise `assertion_failed` at this
//   module when the conditions they list do not hold.
#pragma once

#include <cstdint>

#include "export.hpp"

namespace lexspot {

// ---- Digit tables ---------------------------------------------------------

// The digit values: 0 to 9, then one per letter.
inline constexpr int32_t xp_digit_count = 10 + ('Z' - 'A' + 1);

// The value of each character from '0' to 'z', indexed by the character code
// minus '0': digits 0 to 9, letters of either case 10 to 35, and 36 (never a
// digit in any base) for the punctuation between them.
extern LEXSPOT_API const unsigned char xp_digit_map['z' - '0' + 1];

// The character written for each digit value 0 to 35, upper-case above 9,
// and the terminating NUL.
extern LEXSPOT_API const char xp_digit_chars[xp_digit_count + 1];

// ---- Machine words ----------------------------------------------------------

// Stores u into the n digits of z. Returns the part that did not fit,
// u / 256^n, which is 0 when u fits.
LEXSPOT_API uint64_t xp_from_uint(int32_t n, unsigned char *z, uint64_t u);

// Returns the value of the lowest min(n, 8) digits of x: x modulo 2^64. Only
// those digits are read. 0 for n of 0 or less.
LEXSPOT_API uint64_t xp_to_uint(int32_t n, const unsigned char *x);

// Returns the significant length of x: the index of its top nonzero digit plus
// 1, and 1 when x is zero. n itself when n is 1 or less.
LEXSPOT_API int32_t xp_significant_length(int32_t n, const unsigned char *x);

// ---- Addition and subtraction ----------------------------------------------
// Carries and borrows are 0 or 1, in and out.

// z = x + y + carry modulo 256^n. Returns 1 when the true sum needs n + 1
// digits.
LEXSPOT_API int32_t xp_plus(int32_t n, unsigned char *z, const unsigned char *x,
                            const unsigned char *y, int32_t carry);

// z = x - y - borrow modulo 256^n. Returns 1 when x < y + borrow.
LEXSPOT_API int32_t xp_minus(int32_t n, unsigned char *z, const unsigned char *x,
                             const unsigned char *y, int32_t borrow);

// z = x + y for a digit y (0 to 255), modulo 256^n. Returns the carry out.
LEXSPOT_API int32_t xp_plus_digit(int32_t n, unsigned char *z, const unsigned char *x, int32_t y);

// z = x - y for a digit y (0 to 255), modulo 256^n. Returns 1 when x < y.
LEXSPOT_API int32_t xp_minus_digit(int32_t n, unsigned char *z, const unsigned char *x, int32_t y);

// z = (bitwise complement of x) + carry, modulo 256^n. With carry 1 this is
// the two's complement negation 256^n - x, and the carry out is 1 only when x
// is zero.
LEXSPOT_API int32_t xp_negate(int32_t n, unsigned char *z, const unsigned char *x, int32_t carry);

// ---- Single-digit product and quotient ---------------------------------------

// z = x * y modulo 256^n for a digit y (0 to 255). Returns the part of the
// product above the n digits, x * y / 256^n, itself below 256.
LEXSPOT_API uint32_t xp_times_digit(int32_t n, unsigned char *z, const unsigned char *x,
                                    uint32_t y);

// z = x / y for a nonzero digit y (1 to 255). Returns the remainder x mod y.
// Nothing is written for n of 0 or less.
LEXSPOT_API uint32_t xp_divide_digit(int32_t n, unsigned char *z, const unsigned char *x,
                                     uint32_t y);

// ---- Comparison ----------------------------------------------------------------

// Returns x[i] - y[i] at the most significant digit where x and y differ
// (-255 to 255), and 0 when they are equal. Only the sign is meaningful.
LEXSPOT_API int32_t xp_compare(int32_t n, const unsigned char *x, const unsigned char *y);

// ---- Long multiplication and division ------------------------------------------
// Each length comes just before its array here.

// Adds x * y to the n + m digits already in z (clear z first for the plain
// product, which always fits). Returns nonzero when the sum did not fit z.
// z must not share storage with x or y.
LEXSPOT_API int32_t xp_times(unsigned char *z, int32_t n, const unsigned char *x, int32_t m,
                             const unsigned char *y);

// Divides the n-digit x by the m-digit y, truncating: q (n digits) receives the
// quotient and r (m digits) the remainder. Returns 1, or 0 when y is zero, in
// which case q and r are left as they were.
// work is a scratch area of nx + my + 2 bytes, nx and my being the significant
// lengths of x and y; n + m + 2 bytes always suffice.
// q, r and work must be three distinct arrays, none of them y's. Either q or r
// may be x's own array.
// Raises `assertion_failed` when m is below 1, and when the division's own
// invariants fail (never, for valid arguments).
LEXSPOT_API int32_t xp_divide(int32_t n, unsigned char *q, const unsigned char *x, int32_t m,
                              const unsigned char *y, unsigned char *r, unsigned char *work);

// ---- String conversion ------------------------------------------------------------
// Numbers are unsigned, in bases 2 to 36, without sign, prefix or grouping.

// Reads the number at the start of str (after white space) in base into z,
// accumulating onto the value z already holds: each digit multiplies the n
// digits of z by the base and adds the digit's value. Clear z first for the
// value of the string alone. With n of 0 or less the digits are only passed
// over.
// Returns 0 when every digit fitted, else the nonzero carry that left z's top
// digit; z then holds the low n digits of the interrupted step, and the digit
// at end was not taken.
// When end is not null it receives the position where the scan stopped: the
// first character that is not a digit of the base, the digit that did not fit,
// or str itself when there is no digit at all (z is then untouched).
// Raises `assertion_failed` when str is null or base is outside 2 to 36.
LEXSPOT_API int32_t xp_parse(int32_t n, unsigned char *z, const char *str, int32_t base,
                             char **end);

// Writes x as a NUL-terminated string of digits in base into str, a buffer of
// size bytes, with no leading zeros ("0" for zero). Returns str.
// Consumes x: its n digits are zero afterwards.
// Raises `assertion_failed` when str is null, when base is outside 2 to 36,
// and when a digit or the NUL would be stored at index size or beyond; the
// buffer then holds the digits written so far, least significant first and
// unterminated, and x the quotient reached so far.
LEXSPOT_API char *xp_render(char *str, int32_t size, int32_t base, int32_t n, unsigned char *x);

// ---- Shifts -----------------------------------------------------------------------
// Both read an m-digit x and write all n digits of z, shifting by s >= 0 bits.
// Vacated bit positions take ones when fill is nonzero, zeros otherwise.
// z may be the very same array as x.

// z = (x * 2^s + f) modulo 256^n, where f = 2^s - 1 when fill is set and 0
// otherwise: the s vacated low bits take the fill. Positions of z above the
// shifted operand are zero whatever the fill.
LEXSPOT_API void xp_shift_left(int32_t n, unsigned char *z, int32_t m, const unsigned char *x,
                               int32_t s, int32_t fill);

// z = floor(X / 2^s) modulo 256^n, where X is x extended above its m digits by
// an unbounded run of fill bits: the vacated high bits, and every position of
// z above the shifted operand, take the fill.
LEXSPOT_API void xp_shift_right(int32_t n, unsigned char *z, int32_t m, const unsigned char *x,
                                int32_t s, int32_t fill);

} // namespace lexspot

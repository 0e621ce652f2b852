// SPDX-License-Identifier: MIT

// Fixed-width integers: values of one process-wide bit width, read as two's
// complement by the signed operations and as unsigned by the unsigned ones.
//
// Representation and invariants:
// - A value (`MpValue`) is `mp_bytes` bytes of the caller's storage, least
//   significant byte first: a digit array of src/xp with n = `mp_bytes`.
//   Nothing in it records its width or whether it is signed.
// - The bits of the top byte (index `mp_bytes` - 1) above `mp_top_mask` are
//   always zero. Every operation that stores a value clears them ("masks the
//   top byte") before it returns or raises, and relies on them being zero in
//   its operands. The sign is bit `mp_top_shift` of the top byte.
// - A value of width w in general occupies (w - 1) / 8 + 1 bytes with its top
//   byte holding the low ((w - 1) mod 8) + 1 bits; the resizing operations
//   and the double-width products write that layout for their target width.
// - A value is meaningful only under the width it was made with:
//   `mp_set_width` converts nothing. Carry a value across a width change with
//   `mp_resize_s` / `mp_resize_u` before the change.
//
// Shared rules:
// - Every value argument must be non-null, and every width argument greater
//   than 1; a failed test raises `assertion_failed` here, before anything is
//   computed. Operands are tested first, then the destination, unless a
//   group below says otherwise.
// - The destination comes first, is returned, and may be one of the operands.
// - Results are stored, reduced to the width and masked, before
//   `mp_overflow` is raised: on overflow the destination holds the low
//   `mp_bits` bits of the exact result. A machine-integer operand outside the
//   width raises `mp_overflow` too, by the rules given with each group.
// - `mp_divide_by_zero` is raised before anything is stored.
// - Comparison results are defined only by their sign.
//
// Process-wide state, not locked (single-threaded): the width fields and the
// four scratch values `mp_temps`, which the operations overwrite instead of
// allocating. Up to 128 bits the scratch values live in a static area of
// this module; beyond, in a heap block owned by this module and replaced at
// each width change.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "except.hpp"
#include "export.hpp"
#include "fmt.hpp"

namespace lexspot {

// A value of the current width: `mp_bytes` bytes, least significant first.
using MpValue = unsigned char *;

// A two-value operation of the form z = x op y, returning z.
using MpBinaryFn = MpValue (*)(MpValue z, const unsigned char *x, const unsigned char *y);

// Raised when a result or a machine-integer operand does not fit the width.
// Reason "Overflow".
extern LEXSPOT_API const Exception mp_overflow;
// Raised by a division or remainder with a zero divisor. Reason "Division by zero".
extern LEXSPOT_API const Exception mp_divide_by_zero;

// ---- Width state (changed only by `mp_set_width`; 32 bits at start)

extern LEXSPOT_API int32_t mp_bits;  // the width in bits, at least 2
extern LEXSPOT_API int32_t mp_bytes; // bytes per value: (mp_bits - 1) / 8 + 1
extern LEXSPOT_API int32_t
    mp_top_shift; // bit index of the sign in the top byte: (mp_bits - 1) mod 8
extern LEXSPOT_API unsigned char mp_top_mask; // the valid bits of the top byte

// Scratch values 0 to 3, at offsets k * mp_bytes of the scratch area; value 3
// runs to the end of the area (2 * mp_bytes + 2 bytes). Their contents mean
// nothing between operations. At start the area is the static one laid out
// for 16-byte values: offsets 0, 16, 32 and 48.
extern LEXSPOT_API MpValue mp_temps[4];

// ---- Width, values and conversions

// The widest width: the base-2 numeral of a signed value of this width, with
// its sign and NUL, is the longest string whose size is a 32-bit count.
inline constexpr int32_t mp_max_bits = INT32_MAX - 3;

// Sets the width to `n` bits (1 < n <= mp_max_bits, else `assertion_failed`)
// and lays out the scratch values for it; returns the previous width.
// Existing values are neither converted nor tested. When a new heap scratch
// area cannot be allocated, `allocation_failed` is raised and the width and
// the scratch values stay as they were.
LEXSPOT_API int32_t mp_set_width(int32_t n);

// Sizes derived from a width, for sizing the caller's storage; computed in
// 64 bits so that no width overflows them.
//
// Bytes of a value of width m > 1: (m - 1) / 8 + 1. The double-width
// products write mp_width_bytes(2 * mp_bits) bytes.
LEXSPOT_API int64_t mp_width_bytes(int64_t m);
// Bytes that hold an unsigned numeral of a `bits`-bit value (bits > 1) in
// `base` (2 to 36) with its NUL: bits / k + 2, k being the largest of 1..5
// with 2^k <= base. mp_format_s allows one more for the sign.
LEXSPOT_API int64_t mp_numeral_size(int32_t bits, int32_t base);

// A new value holding `u`, allocated here; the caller frees it with
// `mem_release`. Raises `mp_overflow` when u >= 2^mp_bits, having freed the
// block.
LEXSPOT_API MpValue mp_create(uint64_t u);

// z = u. Raises `mp_overflow` when u >= 2^mp_bits.
LEXSPOT_API MpValue mp_from_unsigned(MpValue z, uint64_t u);
// z = v mod 2^mp_bits, sign-extended through all bytes. Raises `mp_overflow`
// when the width is below 64 bits and v is outside its signed range.
LEXSPOT_API MpValue mp_from_signed(MpValue z, int64_t v);

// x, sign-extended to 64 bits. Raises `mp_overflow` when x does not fit.
LEXSPOT_API int64_t mp_to_signed(const unsigned char *x);
// x read as unsigned and zero-extended to 64 bits. Raises `mp_overflow` when
// x >= 2^64.
LEXSPOT_API uint64_t mp_to_unsigned(const unsigned char *x);

// Convert x, read as signed (`_s`) or unsigned (`_u`) under the current
// width, into z in the layout of width m (z has room for (m - 1) / 8 + 1
// bytes). Widening never overflows; narrowing raises `mp_overflow` when x
// does not fit width m, after storing its low m bits. Tests m, then x, then z.
LEXSPOT_API MpValue mp_resize_s(int32_t m, MpValue z, const unsigned char *x);
LEXSPOT_API MpValue mp_resize_u(int32_t m, MpValue z, const unsigned char *x);

// ---- Addition, subtraction, negation
//
// `_u`: overflow when the result is outside 0 .. 2^mp_bits - 1.
// `_s`: overflow when the result is outside -2^(mp_bits-1) .. 2^(mp_bits-1) - 1.
// Immediates: unsigned immediates of 0 to 255 and signed ones of -255 to 255
// are added as one digit; there the immediate's own range is tested only at
// widths of 7 bits or less. Larger immediates are reduced to the width and
// raise `mp_overflow` when they did not fit it, after the operation (whose
// own overflow, if any, is raised first).

LEXSPOT_API MpValue mp_add_u(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_sub_u(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_add_s(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_sub_s(MpValue z, const unsigned char *x, const unsigned char *y);
// z = -x; overflows only for the most negative value, which it leaves as is.
LEXSPOT_API MpValue mp_negate(MpValue z, const unsigned char *x);

LEXSPOT_API MpValue mp_add_ui(MpValue z, const unsigned char *x, uint64_t y);
LEXSPOT_API MpValue mp_sub_ui(MpValue z, const unsigned char *x, uint64_t y);
LEXSPOT_API MpValue mp_add_si(MpValue z, const unsigned char *x, int64_t y);
LEXSPOT_API MpValue mp_sub_si(MpValue z, const unsigned char *x, int64_t y);

// Applies `op`(z, x, y') with y' = y mod 2^mp_bits in two's complement, held
// in scratch value 2; whatever `op` raises or throws propagates. Returns 1
// when the width is below 64 bits and y is outside its signed range, else 0.
// Tests nothing: the signed immediate forms call it after their own tests.
LEXSPOT_API int32_t mp_apply_imm(MpBinaryFn op, MpValue z, const unsigned char *x, int64_t y);

// ---- Comparison: negative, zero or positive as x <, =, > y

LEXSPOT_API int32_t mp_compare_u(const unsigned char *x, const unsigned char *y);
LEXSPOT_API int32_t mp_compare_s(const unsigned char *x, const unsigned char *y);
// An immediate beyond the width compares as beyond every value.
LEXSPOT_API int32_t mp_compare_ui(const unsigned char *x, uint64_t y);
LEXSPOT_API int32_t mp_compare_si(const unsigned char *x, int64_t y);

// ---- Multiplication, division, remainder
//
// Signed division is floor division; the signed remainder is never negative:
// 0 <= z < |y|, equal to x - y * floor(x / y) for y > 0 and to its negation
// for y < 0. -2^(mp_bits-1) / -1 and -2^(mp_bits-1) mod -1 overflow.
// Immediates follow the rules of the additive group; a division or remainder
// by an immediate beyond one digit that is 0 modulo 2^mp_bits raises
// `mp_divide_by_zero` (a one-digit one divides exactly).

// z = x * y as a value of width 2 * mp_bits: z has room for
// (2 * mp_bits - 1) / 8 + 1 bytes, and its top byte's bits above that width
// are left clear. Never overflows.
LEXSPOT_API MpValue mp_mul_wide_u(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_mul_wide_s(MpValue z, const unsigned char *x, const unsigned char *y);

LEXSPOT_API MpValue mp_mul_u(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_mul_s(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_div_u(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_div_s(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_mod_u(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_mod_s(MpValue z, const unsigned char *x, const unsigned char *y);

LEXSPOT_API MpValue mp_mul_ui(MpValue z, const unsigned char *x, uint64_t y);
LEXSPOT_API MpValue mp_div_ui(MpValue z, const unsigned char *x, uint64_t y);
LEXSPOT_API uint64_t mp_mod_ui(const unsigned char *x, uint64_t y);
LEXSPOT_API MpValue mp_mul_si(MpValue z, const unsigned char *x, int64_t y);
LEXSPOT_API MpValue mp_div_si(MpValue z, const unsigned char *x, int64_t y);
LEXSPOT_API int64_t mp_mod_si(const unsigned char *x, int64_t y);

// ---- Bitwise operations and shifts (never raise `mp_overflow`)
//
// The and, or and exclusive-or forms test z first, then x, then y.

LEXSPOT_API MpValue mp_bit_and(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_bit_or(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_bit_xor(MpValue z, const unsigned char *x, const unsigned char *y);
LEXSPOT_API MpValue mp_bit_not(MpValue z, const unsigned char *x);
// The immediate is cut to the width without complaint.
LEXSPOT_API MpValue mp_bit_and_i(MpValue z, const unsigned char *x, uint64_t u);
LEXSPOT_API MpValue mp_bit_or_i(MpValue z, const unsigned char *x, uint64_t u);
LEXSPOT_API MpValue mp_bit_xor_i(MpValue z, const unsigned char *x, uint64_t u);

// Shifts by s >= 0 bits; bits shifted past the width are lost. The logical
// shifts bring in zeros; the arithmetic right shift brings in copies of the
// sign, giving floor(x / 2^s).
LEXSPOT_API MpValue mp_shift_left(MpValue z, const unsigned char *x, int32_t s);
LEXSPOT_API MpValue mp_shift_right(MpValue z, const unsigned char *x, int32_t s);
LEXSPOT_API MpValue mp_shift_right_arith(MpValue z, const unsigned char *x, int32_t s);

// ---- Strings and formatting (bases 2 to 36, upper-case digits above 9)

// z = the unsigned number written at the start of `str` (after white space,
// no sign); a string without digits gives 0. `end`, when not null, receives
// where the digits ended. Raises `mp_overflow` when the number is
// 2^mp_bits or more, z then holding the low bits computed so far.
LEXSPOT_API MpValue mp_parse(MpValue z, const char *str, int32_t base, char **end);

// Writes x as an unsigned numeral with its NUL into `str` (capacity `size`,
// at least 2), or, when str is null, into a new block of
// `mp_numeral_size`(mp_bits, base) bytes that the caller frees with
// `mem_release`. Returns the string; x is not changed.
LEXSPOT_API char *mp_render(char *str, int32_t size, int32_t base, const unsigned char *x);

// Conversion routines for `fmt_install`. Each takes a pointer to the value
// and then an int base from the argument list and prints the numeral through
// `fmt_pad_number`, so flags, width and precision apply as to the built-in
// integer conversions. `mp_format_s` prints a leading "-" for a negative
// value.
LEXSPOT_API void mp_format_u(int code, va_list &args, PutFn put, void *closure,
                             unsigned char flags[256], int width, int precision);
LEXSPOT_API void mp_format_s(int code, va_list &args, PutFn put, void *closure,
                             unsigned char flags[256], int width, int precision);

} // namespace lexspot

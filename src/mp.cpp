// SPDX-License-Identifier: MIT

// Fixed-width integers over the digit-array primitives.
//
// Every operation reads the width fields afresh. Signed operations work on
// magnitudes held in the scratch values and fix the sign up afterwards; every
// stored result has its top byte masked before any exception is raised.
#include "mp.hpp"

#include <cstring>

#include "assert.hpp"
#include "mem.hpp"
#include "xp.hpp"

namespace lexspot {

const Exception mp_overflow = {"Overflow"};
const Exception mp_divide_by_zero = {"Division by zero"};

int32_t mp_bits = 32;
int32_t mp_bytes = 4;
int32_t mp_top_shift = 7;
unsigned char mp_top_mask = 0xFF;

namespace {

// The scratch area of widths up to 128 bits: three scratch values of
// `mp_static_bytes` and the fourth of 2 * mp_static_bytes + 2. Not exported:
// where the scratch values live is this module's affair.
constexpr int32_t mp_static_bytes = 16;
unsigned char mp_static_temps[5 * mp_static_bytes + 2];

// The heap scratch area of widths above 128 bits; null while the static one
// is in use.
unsigned char *heap_temps = nullptr;

} // namespace

MpValue mp_temps[4] = {mp_static_temps, mp_static_temps + mp_static_bytes,
                       mp_static_temps + int64_t{2} * mp_static_bytes,
                       mp_static_temps + int64_t{3} * mp_static_bytes};

namespace {

// Clears the bits of z's top byte above the width; returns whether any was set.
// Stores only when one was: a byte stored into the word that an xp primitive
// has just written would keep the next word load of z from being served by
// that write, and cost more than the whole mask.
bool mask_top(MpValue z) {
    const unsigned char top = z[mp_bytes - 1];
    const bool high = (top & ~mp_top_mask) != 0;
    if (high)
        z[mp_bytes - 1] = top & mp_top_mask;
    return high;
}

// 1 for a negative value, else 0 (valid under the masking invariant).
int32_t sign_of(const unsigned char *x) {
    return x[mp_bytes - 1] >> mp_top_shift;
}

// Whether any of the n bytes at p is nonzero. Whole words are read through
// memcpy, so p may have any alignment and the byte order does not matter.
bool any_nonzero(const unsigned char *p, int32_t n) {
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w = 0;
        std::memcpy(&w, p + i, sizeof w);
        if (w != 0)
            return true;
    }
    for (; i < n; ++i)
        if (p[i] != 0)
            return true;
    return false;
}

bool is_zero(const unsigned char *x) {
    return !any_nonzero(x, mp_bytes);
}

// x modulo 2^64, as xp_to_uint reads it, but assembled here: the callers
// below run it for every comparison and numeral of a small width, where a
// call would cost as much as the loop.
uint64_t low_word(const unsigned char *x) {
    uint64_t u = 0;
    for (int32_t i = (mp_bytes < 8 ? mp_bytes : 8) - 1; i >= 0; --i)
        u = (u << 8) | x[i];
    return u;
}

// The significant length of a value: the index of its top nonzero byte plus
// 1, and 1 for zero. Skips zero words from the top first.
int32_t significant_bytes(const unsigned char *x) {
    int32_t n = mp_bytes;
    for (; n >= 8; n -= 8) {
        uint64_t w = 0;
        std::memcpy(&w, x + n - 8, sizeof w);
        if (w != 0)
            break;
    }
    while (n > 1 && x[n - 1] == 0)
        --n;
    return n < 1 ? 1 : n;
}

// Whether v lies in the signed range of the width (always, from 64 bits up).
bool fits_signed(int64_t v) {
    if (mp_bits >= 64)
        return true;
    const int64_t limit = INT64_C(1) << (mp_bits - 1);
    return v >= -limit && v < limit;
}

// x read as signed, for a width of 8 bits or less.
int64_t one_byte_signed(const unsigned char *x) {
    return x[0] - (int64_t{sign_of(x)} << mp_bits);
}

// The low ((m - 1) mod 8) + 1 bits: the valid bits of a width-m top byte.
unsigned char top_mask_of(int64_t m) {
    return static_cast<unsigned char>(0xFF >> (7 - (m - 1) % 8));
}

uint64_t magnitude_of(int64_t v) {
    return v < 0 ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

// ---- Machine-integer immediates
//
// An immediate of at most one digit in magnitude is applied with the digit
// primitives; a larger one is converted to a value in scratch value 2 and
// goes through the two-value operation.

// The largest magnitude applied as one digit.
constexpr uint64_t one_digit_max = 255;

bool is_one_digit_u(uint64_t y) {
    return y <= one_digit_max;
}

bool is_one_digit_s(int64_t y) {
    return magnitude_of(y) <= one_digit_max;
}

// Whether a one-digit immediate lies outside the width. Its own range is
// tested only below 8 bits, where a digit can be wider than a value.
bool one_digit_outside_u(uint64_t y) {
    return mp_bits < 8 && y >= (uint64_t{1} << mp_bits);
}

bool one_digit_outside_s(int64_t y) {
    return mp_bits < 8 && !fits_signed(y);
}

// z = v mod 2^mp_bits in two's complement, masked; raises nothing.
void store_signed(MpValue z, int64_t v) {
    xp_from_uint(mp_bytes, z, magnitude_of(v));
    if (v < 0)
        xp_negate(mp_bytes, z, z, 1);
    mask_top(z);
}

// z = u mod 2^mp_bits, masked; returns whether u fitted the width.
bool store_unsigned(MpValue z, uint64_t u) {
    const uint64_t leftover = xp_from_uint(mp_bytes, z, u);
    const bool high = mask_top(z);
    return leftover == 0 && !high;
}

// The unsigned counterpart of `mp_apply_imm`: applies `op`(z, x, y') with
// y' = y mod 2^mp_bits in scratch value 2; whatever `op` raises propagates.
// Returns whether y is outside the width.
bool apply_imm_u(MpBinaryFn op, MpValue z, const unsigned char *x, uint64_t y) {
    const bool fits = store_unsigned(mp_temps[2], y);
    op(z, x, mp_temps[2]);
    return !fits;
}

// |x| as an unsigned value of the width: x itself, or its negation in `room`.
const unsigned char *magnitude_into(MpValue room, const unsigned char *x) {
    if (sign_of(x) == 0)
        return x;
    xp_negate(mp_bytes, room, x, 1);
    mask_top(room);
    return room;
}

// Puts |y| (or y itself, unsigned) into scratch value 1, so that a division
// may store into y's storage.
void load_divisor(const unsigned char *y, bool is_signed) {
    if (is_signed && sign_of(y) != 0) {
        xp_negate(mp_bytes, mp_temps[1], y, 1);
        mask_top(mp_temps[1]);
    } else {
        std::memmove(mp_temps[1], y, static_cast<size_t>(mp_bytes));
    }
}

// q = x / scratch 1, r = x mod scratch 1, unsigned, with scratch value 3 as
// the work area. Raises `mp_divide_by_zero`, having written nothing, for a
// zero divisor.
void divide_by_loaded(MpValue q, const unsigned char *x, MpValue r) {
    if (xp_divide(mp_bytes, q, x, mp_bytes, mp_temps[1], r, mp_temps[3]) == 0)
        assert_raise(mp_divide_by_zero);
}

// What `multiply_into_t3` found out about the product.
struct Product {
    bool too_big; // it needs more than mp_bits bits
    bool zero;
};

// The product |x| * |y| (or x * y) into scratch value 3, 2 * mp_bytes bytes.
//
// Only the operands' significant bytes are multiplied: the product of an
// lx-byte and an ly-byte number fits lx + ly bytes, and the bytes of scratch
// value 3 above them stay as cleared, so small values at a large width cost
// what their size does. The lengths also tell a zero product without
// looking at it.
Product multiply_into_t3(const unsigned char *x, const unsigned char *y) {
    const int32_t n = mp_bytes;
    const int32_t lx = significant_bytes(x);
    const int32_t ly = significant_bytes(y);
    unsigned char *t3 = mp_temps[3];
    std::memset(t3, 0, 2 * static_cast<size_t>(n));
    xp_times(t3, lx, x, ly, y);
    Product p{false, (lx == 1 && x[0] == 0) || (ly == 1 && y[0] == 0)};
    const int32_t used = lx + ly;
    if (used >= n)
        p.too_big = (t3[n - 1] & ~mp_top_mask) != 0 || any_nonzero(t3 + n, used - n);
    return p;
}

// Whether a signed product with magnitude test `too_big`, signs sx and sy and
// stored (negated, masked) result z lies outside the signed range; `zero`
// says whether the product is 0.
bool signed_product_overflows(bool too_big, int32_t sx, int32_t sy, bool zero,
                              const unsigned char *z) {
    if (too_big)
        return true;
    if (sx == sy)
        return sign_of(z) != 0;
    return !zero && sign_of(z) == 0;
}

// The floor-division fix-up of a quotient of magnitudes in z, with sx and sy
// the operands' signs and `inexact` whether the remainder was nonzero.
void fix_signed_quotient(MpValue z, int32_t sx, int32_t sy, bool inexact) {
    if (sx == sy) {
        // Only -2^(mp_bits-1) / -1 gives a quotient with the sign bit set.
        if (sx != 0 && sign_of(z) != 0)
            assert_raise(mp_overflow);
        return;
    }
    // -q when exact, else -q - 1, which is the complement of q: one pass
    // either way.
    xp_negate(mp_bytes, z, z, inexact ? 0 : 1);
    mask_top(z);
}

// The largest k of 1..5 with 2^k <= base: a value of mp_bits bits has at
// most mp_bits / k + 1 digits in that base.
int32_t digit_step(int32_t base) {
    int32_t k = 1;
    while (k < 5 && (2 << k) <= base)
        ++k;
    return k;
}

} // namespace

int64_t mp_width_bytes(int64_t m) {
    assert_require(m > 1);
    return (m - 1) / 8 + 1;
}

int64_t mp_numeral_size(int32_t bits, int32_t base) {
    assert_require(bits > 1);
    assert_require(base >= 2 && base <= 36);
    return int64_t{bits} / digit_step(base) + 2;
}

// ---- Width, values and conversions

int32_t mp_set_width(int32_t n) {
    const int32_t previous = mp_bits;
    assert_require(n > 1 && n <= mp_max_bits);

    // Obtain the new area before changing anything, so that a failed
    // allocation leaves the old width and scratch values intact.
    const auto bytes = static_cast<int32_t>(mp_width_bytes(n));
    unsigned char *area = mp_static_temps;
    if (bytes > mp_static_bytes)
        area = static_cast<unsigned char *>(mem_allocate(5 * int64_t{bytes} + 2));
    mem_release(heap_temps);
    heap_temps = area == mp_static_temps ? nullptr : area;

    mp_bits = n;
    mp_bytes = bytes;
    mp_top_shift = (n - 1) % 8;
    mp_top_mask = top_mask_of(n);
    for (int32_t k = 0; k < 4; ++k)
        mp_temps[k] = area + int64_t{k} * bytes;
    return previous;
}

MpValue mp_create(uint64_t u) {
    auto z = static_cast<MpValue>(mem_allocate(mp_bytes));
    if (!store_unsigned(z, u)) {
        mem_release(z);
        assert_raise(mp_overflow);
    }
    return z;
}

MpValue mp_from_unsigned(MpValue z, uint64_t u) {
    assert_require(z != nullptr);
    if (!store_unsigned(z, u))
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_from_signed(MpValue z, int64_t v) {
    assert_require(z != nullptr);
    store_signed(z, v);
    if (!fits_signed(v))
        assert_raise(mp_overflow);
    return z;
}

int64_t mp_to_signed(const unsigned char *x) {
    assert_require(x != nullptr);
    unsigned char t[8];
    mp_resize_s(64, t, x);
    return static_cast<int64_t>(xp_to_uint(8, t));
}

uint64_t mp_to_unsigned(const unsigned char *x) {
    assert_require(x != nullptr);
    unsigned char t[8];
    mp_resize_u(64, t, x);
    return xp_to_uint(8, t);
}

MpValue mp_resize_s(int32_t m, MpValue z, const unsigned char *x) {
    assert_require(m > 1);
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    const int32_t n = mp_bytes;
    const int32_t p = (m - 1) / 8;
    const unsigned char z_mask = top_mask_of(m);
    const bool negative = sign_of(x) != 0;
    const unsigned char fill = negative ? 0xFF : 0x00;

    if (m >= mp_bits) {
        // Widen: sign-extend inside the old top byte, then through the new ones.
        std::memmove(z, x, static_cast<size_t>(n));
        z[n - 1] |= fill & ~mp_top_mask;
        for (int32_t i = n; i <= p; ++i)
            z[i] = fill;
        z[p] &= z_mask;
        return z;
    }

    // Narrow: bits m - 1 up to mp_bits - 1 of x must all equal its sign.
    bool fits = true;
    for (int32_t i = p; i < n && fits; ++i) {
        unsigned char bits = i == n - 1 ? mp_top_mask : 0xFF;
        if (i == p)
            bits &= static_cast<unsigned char>(0xFF << ((m - 1) % 8));
        fits = (x[i] & bits) == (fill & bits);
    }
    std::memmove(z, x, static_cast<size_t>(p) + 1);
    z[p] &= z_mask;
    if (!fits)
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_resize_u(int32_t m, MpValue z, const unsigned char *x) {
    assert_require(m > 1);
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    const int32_t n = mp_bytes;
    const int32_t p = (m - 1) / 8;
    const unsigned char z_mask = top_mask_of(m);

    if (m >= mp_bits) {
        std::memmove(z, x, static_cast<size_t>(n));
        for (int32_t i = n; i <= p; ++i)
            z[i] = 0;
        return z;
    }

    bool fits = (x[p] & ~z_mask) == 0;
    for (int32_t i = p + 1; i < n && fits; ++i)
        fits = x[i] == 0;
    std::memmove(z, x, static_cast<size_t>(p) + 1);
    z[p] &= z_mask;
    if (!fits)
        assert_raise(mp_overflow);
    return z;
}

// ---- Addition, subtraction, negation

MpValue mp_add_u(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const int32_t carry = xp_plus(mp_bytes, z, x, y, 0);
    if (mask_top(z) || carry != 0)
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_sub_u(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const int32_t borrow = xp_minus(mp_bytes, z, x, y, 0);
    if (mask_top(z) || borrow != 0)
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_add_s(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const int32_t sx = sign_of(x);
    const int32_t sy = sign_of(y);
    xp_plus(mp_bytes, z, x, y, 0);
    mask_top(z);
    if (sx == sy && sign_of(z) != sx)
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_sub_s(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const int32_t sx = sign_of(x);
    const int32_t sy = sign_of(y);
    xp_minus(mp_bytes, z, x, y, 0);
    mask_top(z);
    if (sx != sy && sign_of(z) == sy)
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_negate(MpValue z, const unsigned char *x) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    const int32_t sx = sign_of(x);
    xp_negate(mp_bytes, z, x, 1);
    mask_top(z);
    if (sx != 0 && sign_of(z) != 0)
        assert_raise(mp_overflow);
    return z;
}

namespace {

using DigitFn = int32_t (*)(int32_t n, unsigned char *z, const unsigned char *x, int32_t y);

// z = x op y for an unsigned immediate: one digit through `digit`, whose
// carry or borrow is the overflow (it also shows a one-digit immediate
// outside a width below 8 bits); wider ones through `op`.
MpValue unsigned_imm(MpValue z, const unsigned char *x, uint64_t y, DigitFn digit, MpBinaryFn op) {
    if (!is_one_digit_u(y)) {
        if (apply_imm_u(op, z, x, y))
            assert_raise(mp_overflow);
        return z;
    }
    const int32_t out = digit(mp_bytes, z, x, static_cast<int32_t>(y));
    if (mask_top(z) || out != 0)
        assert_raise(mp_overflow);
    return z;
}

// The one-digit path of the signed immediates: z = x + v for the caller's
// one-digit immediate y, with v = y for an addition and -y for a
// subtraction. When y fits the width, the signs of x, v and z show an
// overflow. A one-digit y that does not (at 8 bits and below, where a value
// is one byte) can wrap the sum past the sign, so the exact sum is tested
// instead.
MpValue add_one_digit(MpValue z, const unsigned char *x, int64_t y, bool subtract) {
    const int64_t v = subtract ? -y : y;
    const bool y_fits = fits_signed(y);
    const int32_t sx = sign_of(x);
    const int32_t sv = v < 0 ? 1 : 0;
    const int64_t exact = y_fits ? 0 : one_byte_signed(x) + v;
    if (mp_bytes <= 8) {
        // The driver's per-line increment, at 3 bytes: here, byte by byte
        // while a carry or borrow runs (one byte, mostly), costs less than
        // a call. t >> 8 is that carry (1) or borrow (-1).
        int32_t c = static_cast<int32_t>(v);
        int32_t i = 0;
        for (; i < mp_bytes && c != 0; ++i) {
            const int32_t t = x[i] + c;
            z[i] = static_cast<unsigned char>(t);
            c = t >> 8;
        }
        if (z != x)
            std::memcpy(z + i, x + i, static_cast<size_t>(mp_bytes - i));
    } else if (v >= 0) {
        xp_plus_digit(mp_bytes, z, x, static_cast<int32_t>(v));
    } else {
        xp_minus_digit(mp_bytes, z, x, static_cast<int32_t>(-v));
    }
    mask_top(z);
    if (y_fits ? sx == sv && sign_of(z) != sx : !fits_signed(exact))
        assert_raise(mp_overflow);
    if (one_digit_outside_s(y))
        assert_raise(mp_overflow);
    return z;
}

} // namespace

MpValue mp_add_ui(MpValue z, const unsigned char *x, uint64_t y) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    return unsigned_imm(z, x, y, xp_plus_digit, mp_add_u);
}

MpValue mp_sub_ui(MpValue z, const unsigned char *x, uint64_t y) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    return unsigned_imm(z, x, y, xp_minus_digit, mp_sub_u);
}

MpValue mp_add_si(MpValue z, const unsigned char *x, int64_t y) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    if (!is_one_digit_s(y)) {
        if (mp_apply_imm(mp_add_s, z, x, y) != 0)
            assert_raise(mp_overflow);
        return z;
    }
    return add_one_digit(z, x, y, false);
}

MpValue mp_sub_si(MpValue z, const unsigned char *x, int64_t y) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    if (!is_one_digit_s(y)) {
        if (mp_apply_imm(mp_sub_s, z, x, y) != 0)
            assert_raise(mp_overflow);
        return z;
    }
    return add_one_digit(z, x, y, true);
}

int32_t mp_apply_imm(MpBinaryFn op, MpValue z, const unsigned char *x, int64_t y) {
    store_signed(mp_temps[2], y);
    op(z, x, mp_temps[2]);
    return fits_signed(y) ? 0 : 1;
}

// ---- Comparison

namespace {

// x against y as unsigned values. Up to 8 bytes, byte by byte from the top
// here, which for a few bytes costs less than a call.
int32_t compare_unsigned(const unsigned char *x, const unsigned char *y) {
    if (mp_bytes <= 8) {
        for (int32_t i = mp_bytes - 1; i >= 0; --i)
            if (x[i] != y[i])
                return x[i] < y[i] ? -1 : 1;
        return 0;
    }
    return xp_compare(mp_bytes, x, y);
}

} // namespace

int32_t mp_compare_u(const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    return compare_unsigned(x, y);
}

// Values of one sign compare as their bit patterns do.
int32_t mp_compare_s(const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    const int32_t d = sign_of(y) - sign_of(x);
    if (d != 0)
        return d;
    return compare_unsigned(x, y);
}

int32_t mp_compare_ui(const unsigned char *x, uint64_t y) {
    assert_require(x != nullptr);
    if (mp_bytes <= 8) {
        const uint64_t v = xp_to_uint(mp_bytes, x);
        return v < y ? -1 : v > y ? 1 : 0;
    }
    xp_from_uint(mp_bytes, mp_temps[2], y);
    return xp_compare(mp_bytes, x, mp_temps[2]);
}

int32_t mp_compare_si(const unsigned char *x, int64_t y) {
    assert_require(x != nullptr);
    const int32_t d = (y < 0 ? 1 : 0) - sign_of(x);
    if (d != 0)
        return d;
    if (mp_bytes <= 8) {
        unsigned char t[8];
        mp_resize_s(64, t, x);
        const auto v = static_cast<int64_t>(xp_to_uint(8, t));
        return v < y ? -1 : v > y ? 1 : 0;
    }
    mp_from_signed(mp_temps[2], y);
    return xp_compare(mp_bytes, x, mp_temps[2]);
}

// ---- Multiplication

MpValue mp_mul_wide_u(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    multiply_into_t3(x, y);
    std::memcpy(z, mp_temps[3], static_cast<size_t>(mp_width_bytes(2 * int64_t{mp_bits})));
    return z;
}

MpValue mp_mul_wide_s(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const int32_t sx = sign_of(x);
    const int32_t sy = sign_of(y);
    multiply_into_t3(magnitude_into(mp_temps[0], x), magnitude_into(mp_temps[1], y));
    const int64_t wide = 2 * int64_t{mp_bits};
    const auto w = static_cast<int32_t>(mp_width_bytes(wide));
    if (sx == sy) {
        std::memcpy(z, mp_temps[3], static_cast<size_t>(w));
    } else {
        // The negation sets the bits above the double width; clear them so
        // that z is a proper value of that width.
        xp_negate(w, z, mp_temps[3], 1);
        z[w - 1] &= top_mask_of(wide);
    }
    return z;
}

MpValue mp_mul_u(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const bool too_big = multiply_into_t3(x, y).too_big;
    std::memcpy(z, mp_temps[3], static_cast<size_t>(mp_bytes));
    mask_top(z);
    if (too_big)
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_mul_s(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const int32_t sx = sign_of(x);
    const int32_t sy = sign_of(y);
    const Product p =
        multiply_into_t3(magnitude_into(mp_temps[0], x), magnitude_into(mp_temps[1], y));
    if (sx == sy)
        std::memcpy(z, mp_temps[3], static_cast<size_t>(mp_bytes));
    else
        xp_negate(mp_bytes, z, mp_temps[3], 1);
    mask_top(z);
    if (signed_product_overflows(p.too_big, sx, sy, p.zero, z))
        assert_raise(mp_overflow);
    return z;
}

// ---- Division and remainder

MpValue mp_div_u(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    load_divisor(y, false);
    divide_by_loaded(z, x, mp_temps[2]);
    return z;
}

MpValue mp_mod_u(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    load_divisor(y, false);
    divide_by_loaded(mp_temps[2], x, z);
    return z;
}

MpValue mp_div_s(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const int32_t sx = sign_of(x);
    const int32_t sy = sign_of(y);
    load_divisor(y, true);
    divide_by_loaded(z, magnitude_into(mp_temps[0], x), mp_temps[2]);
    fix_signed_quotient(z, sx, sy, !is_zero(mp_temps[2]));
    return z;
}

MpValue mp_mod_s(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    assert_require(z != nullptr);
    const int32_t sx = sign_of(x);
    const int32_t sy = sign_of(y);
    load_divisor(y, true);
    divide_by_loaded(mp_temps[2], magnitude_into(mp_temps[0], x), z);
    if (sx == sy) {
        // Only -2^(mp_bits-1) mod -1 has a quotient with the sign bit set.
        if (sx != 0 && sign_of(mp_temps[2]) != 0)
            assert_raise(mp_overflow);
    } else if (!is_zero(z)) {
        xp_minus(mp_bytes, z, mp_temps[1], z, 0);
    }
    return z;
}

// ---- Multiplication, division and remainder by machine integers

MpValue mp_mul_ui(MpValue z, const unsigned char *x, uint64_t y) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    if (!is_one_digit_u(y)) {
        if (apply_imm_u(mp_mul_u, z, x, y))
            assert_raise(mp_overflow);
        return z;
    }
    const uint32_t carry = xp_times_digit(mp_bytes, z, x, static_cast<uint32_t>(y));
    if (mask_top(z) || carry != 0)
        assert_raise(mp_overflow);
    if (one_digit_outside_u(y))
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_div_ui(MpValue z, const unsigned char *x, uint64_t y) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    if (y == 0)
        assert_raise(mp_divide_by_zero);
    if (!is_one_digit_u(y)) {
        if (apply_imm_u(mp_div_u, z, x, y))
            assert_raise(mp_overflow);
        return z;
    }
    xp_divide_digit(mp_bytes, z, x, static_cast<uint32_t>(y));
    if (one_digit_outside_u(y))
        assert_raise(mp_overflow);
    return z;
}

uint64_t mp_mod_ui(const unsigned char *x, uint64_t y) {
    assert_require(x != nullptr);
    if (y == 0)
        assert_raise(mp_divide_by_zero);
    if (!is_one_digit_u(y)) {
        // The quotient goes to scratch value 2, which held y; the remainder
        // to scratch value 0.
        if (apply_imm_u(mp_mod_u, mp_temps[0], x, y))
            assert_raise(mp_overflow);
        return xp_to_uint(mp_bytes, mp_temps[0]);
    }
    const uint32_t r = xp_divide_digit(mp_bytes, mp_temps[2], x, static_cast<uint32_t>(y));
    if (one_digit_outside_u(y))
        assert_raise(mp_overflow);
    return r;
}

MpValue mp_mul_si(MpValue z, const unsigned char *x, int64_t y) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    if (!is_one_digit_s(y)) {
        if (mp_apply_imm(mp_mul_s, z, x, y) != 0)
            assert_raise(mp_overflow);
        return z;
    }
    const int32_t sx = sign_of(x);
    const int32_t sy = y < 0 ? 1 : 0;
    const uint32_t carry = xp_times_digit(mp_bytes, z, magnitude_into(mp_temps[0], x),
                                          static_cast<uint32_t>(magnitude_of(y)));
    // The magnitude test looks at the product before any negation.
    const bool too_big = carry != 0 || (z[mp_bytes - 1] & ~mp_top_mask) != 0;
    if (sx != sy)
        xp_negate(mp_bytes, z, z, 1);
    mask_top(z);
    if (signed_product_overflows(too_big, sx, sy, is_zero(z), z))
        assert_raise(mp_overflow);
    if (one_digit_outside_s(y))
        assert_raise(mp_overflow);
    return z;
}

MpValue mp_div_si(MpValue z, const unsigned char *x, int64_t y) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    if (y == 0)
        assert_raise(mp_divide_by_zero);
    if (!is_one_digit_s(y)) {
        if (mp_apply_imm(mp_div_s, z, x, y) != 0)
            assert_raise(mp_overflow);
        return z;
    }
    const int32_t sx = sign_of(x);
    const int32_t sy = y < 0 ? 1 : 0;
    const uint32_t r = xp_divide_digit(mp_bytes, z, magnitude_into(mp_temps[0], x),
                                       static_cast<uint32_t>(magnitude_of(y)));
    fix_signed_quotient(z, sx, sy, r != 0);
    if (one_digit_outside_s(y))
        assert_raise(mp_overflow);
    return z;
}

int64_t mp_mod_si(const unsigned char *x, int64_t y) {
    assert_require(x != nullptr);
    if (y == 0)
        assert_raise(mp_divide_by_zero);
    if (!is_one_digit_s(y)) {
        // The quotient goes to scratch value 2 (which held y), |x| to scratch
        // value 0 and the remainder over it.
        if (mp_apply_imm(mp_mod_s, mp_temps[0], x, y) != 0)
            assert_raise(mp_overflow);
        return mp_to_signed(mp_temps[0]);
    }
    const int32_t sx = sign_of(x);
    const int32_t sy = y < 0 ? 1 : 0;
    const auto divisor = static_cast<uint32_t>(magnitude_of(y));
    const uint32_t r0 =
        xp_divide_digit(mp_bytes, mp_temps[2], magnitude_into(mp_temps[0], x), divisor);
    int64_t result = r0;
    if (sx == sy) {
        if (sx != 0 && sign_of(mp_temps[2]) != 0)
            assert_raise(mp_overflow);
    } else if (r0 != 0) {
        result = divisor - r0;
    }
    if (one_digit_outside_s(y))
        assert_raise(mp_overflow);
    return result;
}

// ---- Bitwise operations and shifts

MpValue mp_bit_and(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(z != nullptr);
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    for (int32_t i = 0; i < mp_bytes; ++i)
        z[i] = x[i] & y[i];
    return z;
}

MpValue mp_bit_or(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(z != nullptr);
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    for (int32_t i = 0; i < mp_bytes; ++i)
        z[i] = x[i] | y[i];
    return z;
}

MpValue mp_bit_xor(MpValue z, const unsigned char *x, const unsigned char *y) {
    assert_require(z != nullptr);
    assert_require(x != nullptr);
    assert_require(y != nullptr);
    for (int32_t i = 0; i < mp_bytes; ++i)
        z[i] = x[i] ^ y[i];
    return z;
}

MpValue mp_bit_not(MpValue z, const unsigned char *x) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    for (int32_t i = 0; i < mp_bytes; ++i)
        z[i] = static_cast<unsigned char>(~x[i]);
    mask_top(z);
    return z;
}

MpValue mp_bit_and_i(MpValue z, const unsigned char *x, uint64_t u) {
    assert_require(z != nullptr);
    assert_require(x != nullptr);
    store_unsigned(mp_temps[2], u);
    return mp_bit_and(z, x, mp_temps[2]);
}

MpValue mp_bit_or_i(MpValue z, const unsigned char *x, uint64_t u) {
    assert_require(z != nullptr);
    assert_require(x != nullptr);
    store_unsigned(mp_temps[2], u);
    return mp_bit_or(z, x, mp_temps[2]);
}

MpValue mp_bit_xor_i(MpValue z, const unsigned char *x, uint64_t u) {
    assert_require(z != nullptr);
    assert_require(x != nullptr);
    store_unsigned(mp_temps[2], u);
    return mp_bit_xor(z, x, mp_temps[2]);
}

MpValue mp_shift_left(MpValue z, const unsigned char *x, int32_t s) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    assert_require(s >= 0);
    if (s >= mp_bits)
        std::memset(z, 0, static_cast<size_t>(mp_bytes));
    else
        xp_shift_left(mp_bytes, z, mp_bytes, x, s, 0);
    mask_top(z);
    return z;
}

MpValue mp_shift_right(MpValue z, const unsigned char *x, int32_t s) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    assert_require(s >= 0);
    if (s >= mp_bits)
        std::memset(z, 0, static_cast<size_t>(mp_bytes));
    else
        xp_shift_right(mp_bytes, z, mp_bytes, x, s, 0);
    mask_top(z);
    return z;
}

MpValue mp_shift_right_arith(MpValue z, const unsigned char *x, int32_t s) {
    assert_require(x != nullptr);
    assert_require(z != nullptr);
    assert_require(s >= 0);
    const int32_t sx = sign_of(x);
    if (s >= mp_bits) {
        std::memset(z, sx != 0 ? 0xFF : 0x00, static_cast<size_t>(mp_bytes));
    } else {
        // Shift a copy whose bits above the width are copies of the sign, so
        // that the sign comes in from bit mp_bits - 1 down at any width.
        std::memmove(z, x, static_cast<size_t>(mp_bytes));
        if (sx != 0)
            z[mp_bytes - 1] |= static_cast<unsigned char>(~mp_top_mask);
        xp_shift_right(mp_bytes, z, mp_bytes, z, s, sx);
    }
    mask_top(z);
    return z;
}

// ---- Strings and formatting

MpValue mp_parse(MpValue z, const char *str, int32_t base, char **end) {
    assert_require(z != nullptr);
    std::memset(z, 0, static_cast<size_t>(mp_bytes));
    const int32_t carry = xp_parse(mp_bytes, z, str, base, end);
    if (mask_top(z) || carry != 0)
        assert_raise(mp_overflow);
    return z;
}

namespace {

// Writes the digits of u in base, least significant first, into out (room
// for 64); returns how many. Base 10, the usual one, divides by a constant.
int32_t reversed_digits(char *out, uint64_t u, int32_t base) {
    int32_t k = 0;
    if (base == 10) {
        do {
            out[k++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        return k;
    }
    const auto b = static_cast<uint64_t>(base);
    do {
        out[k++] = xp_digit_chars[u % b];
        u /= b;
    } while (u != 0);
    return k;
}

} // namespace

char *mp_render(char *str, int32_t size, int32_t base, const unsigned char *x) {
    assert_require(x != nullptr);
    assert_require(base >= 2 && base <= 36);
    assert_require(str == nullptr || size >= 2);
    if (str == nullptr) {
        size = static_cast<int32_t>(mp_numeral_size(mp_bits, base));
        str = static_cast<char *>(mem_allocate(size));
    }
    // A value below 2^64 is rendered from a machine integer, a few
    // divisions by a word instead of as many passes over a digit array.
    // When its numeral does not fit, xp_render runs after all, so that the
    // raise, and what the buffer holds then, are its own.
    if (significant_bytes(x) <= 8) {
        char digits[64];
        const int32_t k = reversed_digits(digits, low_word(x), base);
        if (k < size) {
            for (int32_t i = 0; i < k; ++i)
                str[i] = digits[k - 1 - i];
            str[k] = '\0';
            return str;
        }
    }
    std::memcpy(mp_temps[1], x, static_cast<size_t>(mp_bytes));
    return xp_render(str, size, base, mp_bytes, mp_temps[1]);
}

namespace {

// Takes the value pointer and the base of one conversion from `args`.
const unsigned char *take_value(va_list &args, unsigned char flags[256], int32_t &base) {
    assert_require(flags != nullptr);
    const auto *x = va_arg(args, const unsigned char *);
    assert_require(x != nullptr);
    base = va_arg(args, int);
    assert_require(base >= 2 && base <= 36);
    return x;
}

// Prints the numeral `s` and releases it, also when the sink raises.
void pad_and_release(char *s, PutFn put, void *closure, unsigned char flags[256], int width,
                     int precision) {
    ExceptionCleanup release([s] { mem_release(s); });
    fmt_pad_number(s, static_cast<int>(std::strlen(s)), put, closure, flags, width, precision);
}

} // namespace

void mp_format_u(int, va_list &args, PutFn put, void *closure, unsigned char flags[256], int width,
                 int precision) {
    int32_t base = 0;
    const unsigned char *x = take_value(args, flags, base);
    pad_and_release(mp_render(nullptr, 0, base, x), put, closure, flags, width, precision);
}

void mp_format_s(int, va_list &args, PutFn put, void *closure, unsigned char flags[256], int width,
                 int precision) {
    int32_t base = 0;
    const unsigned char *x = take_value(args, flags, base);
    const auto size = static_cast<int32_t>(mp_numeral_size(mp_bits, base) + 1);
    auto *s = static_cast<char *>(mem_allocate(size));
    // A negative value is written as "-" and its magnitude, which for the
    // most negative value is exact read as unsigned.
    const int32_t sign = sign_of(x);
    if (sign != 0)
        s[0] = '-';
    mp_render(s + sign, size - sign, base, magnitude_into(mp_temps[0], x));
    pad_and_release(s, put, closure, flags, width, precision);
}

} // namespace lexspot

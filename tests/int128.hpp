// SPDX-License-Identifier: MIT

// A signed 128-bit integer for the tests' reference models on compilers
// that have no __int128 (those of 32-bit machines): two's complement in two
// 64-bit halves, wrapping modulo 2^128 like the native type, with the
// operators the models use. Division truncates toward zero; dividing by 0 or
// -2^127 by -1 is undefined, as natively.
#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <type_traits>

namespace lexspot {

class Int128 {
  public:
    constexpr Int128() = default;
    template <std::integral I>
    constexpr Int128(I v) // NOLINT(google-explicit-constructor): stands in for a built-in type
        : hi_(sign_fill(v)), lo_(static_cast<uint64_t>(v)) {}

    // The low bits, as a conversion of the native type gives them.
    template <std::integral I>
    constexpr explicit operator I() const {
        return static_cast<I>(lo_);
    }

    friend constexpr Int128 operator+(Int128 a, Int128 b) {
        const uint64_t lo = a.lo_ + b.lo_;
        return {a.hi_ + b.hi_ + (lo < a.lo_ ? 1 : 0), lo};
    }
    friend constexpr Int128 operator~(Int128 a) { return {~a.hi_, ~a.lo_}; }
    friend constexpr Int128 operator-(Int128 a) { return ~a + 1; }
    friend constexpr Int128 operator-(Int128 a, Int128 b) { return a + -b; }
    friend constexpr Int128 operator&(Int128 a, Int128 b) { return {a.hi_ & b.hi_, a.lo_ & b.lo_}; }
    friend constexpr Int128 operator|(Int128 a, Int128 b) { return {a.hi_ | b.hi_, a.lo_ | b.lo_}; }
    friend constexpr Int128 operator^(Int128 a, Int128 b) { return {a.hi_ ^ b.hi_, a.lo_ ^ b.lo_}; }

    // Shifts by 0 to 127 bits; the right shift copies the sign.
    friend constexpr Int128 operator<<(Int128 a, int s) {
        if (s == 0)
            return a;
        if (s >= 64)
            return {a.lo_ << (s - 64), 0};
        return {a.hi_ << s | a.lo_ >> (64 - s), a.lo_ << s};
    }
    friend constexpr Int128 operator>>(Int128 a, int s) {
        const uint64_t fill = a < 0 ? ~uint64_t{0} : 0;
        if (s == 0)
            return a;
        if (s >= 64)
            return {fill, s == 64 ? a.hi_ : (a.hi_ >> (s - 64) | fill << (128 - s))};
        return {a.hi_ >> s | fill << (64 - s), a.lo_ >> s | a.hi_ << (64 - s)};
    }

    // The low 128 bits of the product, from 32-bit partial products.
    friend constexpr Int128 operator*(Int128 a, Int128 b) {
        const uint64_t mask = 0xFFFFFFFF;
        const uint64_t a0 = a.lo_ & mask, a1 = a.lo_ >> 32, b0 = b.lo_ & mask, b1 = b.lo_ >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t mid = (p00 >> 32) + (p01 & mask) + (p10 & mask);
        return {p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32) + a.lo_ * b.hi_ + a.hi_ * b.lo_,
                (p00 & mask) | mid << 32};
    }
    friend constexpr Int128 operator/(Int128 a, Int128 b) { return divide(a, b, false); }
    friend constexpr Int128 operator%(Int128 a, Int128 b) { return divide(a, b, true); }

    constexpr Int128 &operator+=(Int128 b) { return *this = *this + b; }
    constexpr Int128 &operator-=(Int128 b) { return *this = *this - b; }
    constexpr Int128 &operator*=(Int128 b) { return *this = *this * b; }
    constexpr Int128 &operator/=(Int128 b) { return *this = *this / b; }
    constexpr Int128 &operator%=(Int128 b) { return *this = *this % b; }
    constexpr Int128 &operator++() { return *this += 1; }
    constexpr Int128 &operator--() { return *this -= 1; }

    friend constexpr bool operator==(Int128 a, Int128 b) = default;
    friend constexpr std::strong_ordering operator<=>(Int128 a, Int128 b) {
        if (a.hi_ != b.hi_)
            return static_cast<int64_t>(a.hi_) <=> static_cast<int64_t>(b.hi_);
        return a.lo_ <=> b.lo_;
    }

  private:
    constexpr Int128(uint64_t hi, uint64_t lo) : hi_(hi), lo_(lo) {}

    template <std::integral I>
    static constexpr uint64_t sign_fill(I v) {
        if constexpr (std::is_signed_v<I>)
            return v < 0 ? ~uint64_t{0} : 0;
        return 0;
    }

    // The quotient or the remainder of |a| / |b| by binary long division,
    // with the signs of truncating division.
    static constexpr Int128 divide(Int128 a, Int128 b, bool remainder) {
        const bool a_negative = a < 0, b_negative = b < 0;
        const Int128 n = a_negative ? -a : a, d = b_negative ? -b : b;
        Int128 q, r;
        for (int bit = 127; bit >= 0; --bit) {
            r = r << 1 | ((n >> bit).lo_ & 1);
            if (!unsigned_less(r, d)) {
                r = r - d;
                q = q | Int128{1} << bit;
            }
        }
        if (remainder)
            return a_negative ? -r : r;
        return a_negative != b_negative ? -q : q;
    }
    static constexpr bool unsigned_less(Int128 a, Int128 b) {
        return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_;
    }

    uint64_t hi_ = 0, lo_ = 0;
};

} // namespace lexspot

// SPDX-License-Identifier: MIT

// Digit arrays: base-256 digits, least significant first, lengths passed with
// every call. The primitives below are the bottom layer of the number code:
// plain indexed loops over bytes with accumulators in a 32-bit unsigned type,
// one pass over the digits each, no checks.
#include "xp.hpp"

#include <cctype>
#include <cstring>

#include "assert.hpp"

namespace lexspot {

const unsigned char xp_digit_map['z' - '0' + 1] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,                          // '0' to '9'
    36, 36, 36, 36, 36, 36, 36,                                     // ':' to '@'
    10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, // 'A' to 'P'
    26, 27, 28, 29, 30, 31, 32, 33, 34, 35,                         // 'Q' to 'Z'
    36, 36, 36, 36, 36, 36,                                         // '[' to '`'
    10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, // 'a' to 'p'
    26, 27, 28, 29, 30, 31, 32, 33, 34, 35,                         // 'q' to 'z'
};

const char xp_digit_chars[xp_digit_count + 1] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

uint64_t xp_from_uint(int32_t n, unsigned char *z, uint64_t u) {
    int32_t i = 0;
    while (i < n) {
        z[i++] = static_cast<unsigned char>(u);
        u >>= 8;
        if (u == 0)
            break;
    }
    for (; i < n; i++)
        z[i] = 0;
    return u;
}

uint64_t xp_to_uint(int32_t n, const unsigned char *x) {
    uint64_t u = 0;
    for (int32_t i = (n < 8 ? n : 8) - 1; i >= 0; i--)
        u = (u << 8) | x[i];
    return u;
}

int32_t xp_significant_length(int32_t n, const unsigned char *x) {
    int32_t i = n;
    while (i > 1 && x[i - 1] == 0)
        i--;
    return i;
}

int32_t xp_plus(int32_t n, unsigned char *z, const unsigned char *x, const unsigned char *y,
                int32_t carry) {
    uint32_t c = static_cast<uint32_t>(carry);
    for (int32_t i = 0; i < n; i++) {
        uint32_t s = x[i] + y[i] + c;
        z[i] = static_cast<unsigned char>(s);
        c = s >> 8;
    }
    return static_cast<int32_t>(c);
}

int32_t xp_minus(int32_t n, unsigned char *z, const unsigned char *x, const unsigned char *y,
                 int32_t borrow) {
    uint32_t b = static_cast<uint32_t>(borrow);
    for (int32_t i = 0; i < n; i++) {
        uint32_t d = x[i] + 256u - y[i] - b; // 0 to 511
        z[i] = static_cast<unsigned char>(d);
        b = 1 - (d >> 8);
    }
    return static_cast<int32_t>(b);
}

int32_t xp_plus_digit(int32_t n, unsigned char *z, const unsigned char *x, int32_t y) {
    uint32_t c = static_cast<uint32_t>(y);
    for (int32_t i = 0; i < n; i++) {
        uint32_t s = x[i] + c;
        z[i] = static_cast<unsigned char>(s);
        c = s >> 8;
    }
    return static_cast<int32_t>(c);
}

int32_t xp_minus_digit(int32_t n, unsigned char *z, const unsigned char *x, int32_t y) {
    uint32_t b = static_cast<uint32_t>(y);
    for (int32_t i = 0; i < n; i++) {
        uint32_t d = x[i] + 256u - b;
        z[i] = static_cast<unsigned char>(d);
        b = 1 - (d >> 8);
    }
    return static_cast<int32_t>(b);
}

int32_t xp_negate(int32_t n, unsigned char *z, const unsigned char *x, int32_t carry) {
    uint32_t c = static_cast<uint32_t>(carry);
    for (int32_t i = 0; i < n; i++) {
        uint32_t s = (255u - x[i]) + c;
        z[i] = static_cast<unsigned char>(s);
        c = s >> 8;
    }
    return static_cast<int32_t>(c);
}

uint32_t xp_times_digit(int32_t n, unsigned char *z, const unsigned char *x, uint32_t y) {
    uint32_t c = 0;
    for (int32_t i = 0; i < n; i++) {
        uint32_t t = x[i] * y + c;
        z[i] = static_cast<unsigned char>(t);
        c = t >> 8;
    }
    return c;
}

uint32_t xp_divide_digit(int32_t n, unsigned char *z, const unsigned char *x, uint32_t y) {
    uint32_t r = 0;
    for (int32_t i = n - 1; i >= 0; i--) {
        uint32_t t = (r << 8) | x[i];
        z[i] = static_cast<unsigned char>(t / y);
        r = t % y;
    }
    return r;
}

int32_t xp_compare(int32_t n, const unsigned char *x, const unsigned char *y) {
    if (n < 1)
        return 0;
    int32_t i = n - 1;
    while (i >= 1 && x[i] == y[i])
        i--;
    return static_cast<int32_t>(x[i]) - static_cast<int32_t>(y[i]);
}

int32_t xp_times(unsigned char *z, int32_t n, const unsigned char *x, int32_t m,
                 const unsigned char *y) {
    uint32_t result = 0;
    const int32_t nm = n + m;
    for (int32_t i = 0; i < n; i++) {
        const uint32_t xi = x[i];
        uint32_t c = 0;
        for (int32_t j = 0; j < m; j++) {
            uint32_t t = z[i + j] + xi * y[j] + c;
            z[i + j] = static_cast<unsigned char>(t);
            c = t >> 8;
        }
        // Propagate into the rest of z; once the carry is 0 the digits above
        // stay as they are.
        for (int32_t j = i + m; c != 0 && j < nm; j++) {
            uint32_t t = z[j] + c;
            z[j] = static_cast<unsigned char>(t);
            c = t >> 8;
        }
        result |= c;
    }
    return static_cast<int32_t>(result);
}

int32_t xp_divide(int32_t n, unsigned char *q, const unsigned char *x, int32_t m,
                  const unsigned char *y, unsigned char *r, unsigned char *work) {
    assert_require(m >= 1);
    const int32_t nx = xp_significant_length(n, x);
    const int32_t my = xp_significant_length(m, y);

    if (my == 1) {
        // One-digit divisor: a single pass, from the top digit down.
        const uint32_t d = y[0];
        if (d == 0)
            return 0;
        r[0] = static_cast<unsigned char>(xp_divide_digit(n, q, x, d));
        for (int32_t i = 1; i < m; i++)
            r[i] = 0;
        return 1;
    }

    if (nx < my) {
        // The quotient is 0 and the remainder x itself. The remainder is taken
        // first, so that q may be x's own array.
        int32_t i = 0;
        for (; i < nx; i++)
            r[i] = x[i];
        for (; i < m; i++)
            r[i] = 0;
        for (i = 0; i < n; i++)
            q[i] = 0;
        return 1;
    }

    // Long division over the significant digits only, without normalising.
    // The running remainder R is work[0 .. nx], the significant digits of x
    // and one zero digit above them; P, the divisor times the trial digit, is
    // the my + 1 bytes after it. Step i divides the window R[i .. i + my] by y.
    assert_require(my >= 2);
    unsigned char *const rem = work;
    unsigned char *const prod = work + nx + 1;
    std::memcpy(rem, x, static_cast<size_t>(nx));
    rem[nx] = 0;
    const int32_t k = nx - my;
    const uint32_t t2 = (static_cast<uint32_t>(y[my - 1]) << 8) | y[my - 2];
    for (int32_t i = k; i >= 0; i--) {
        assert_require(my >= 2);
        assert_require(i + my <= nx);
        unsigned char *const window = rem + i;

        // Trial digit from the window's top three digits and y's top two. As
        // y's top digit is nonzero, it is never below the true digit and at
        // most one above it.
        const uint32_t t3 = (static_cast<uint32_t>(window[my]) << 16) |
                            (static_cast<uint32_t>(window[my - 1]) << 8) | window[my - 2];
        uint32_t qk = t3 / t2;
        if (qk > 255)
            qk = 255;
        prod[my] = static_cast<unsigned char>(xp_times_digit(my, prod, y, qk));

        // Correction: one step down when y * qk exceeds the window.
        int32_t j = my;
        while (j > 0 && window[j] == prod[j])
            j--;
        if (window[j] < prod[j]) {
            qk--;
            prod[my] = static_cast<unsigned char>(xp_times_digit(my, prod, y, qk));
        }
        q[i] = static_cast<unsigned char>(qk);

        // The window becomes the remainder of this step, below y.
        const int32_t borrow = xp_minus(my + 1, window, window, prod, 0);
        assert_require(borrow == 0);
    }

    std::memcpy(r, rem, static_cast<size_t>(my));
    for (int32_t i = k + 1; i < n; i++)
        q[i] = 0;
    for (int32_t i = my; i < m; i++)
        r[i] = 0;
    return 1;
}

namespace {

bool is_space(unsigned char c) {
    return c < 0x80 && std::isspace(c);
}

// The digit's value when c is a digit of base, else -1.
int32_t digit_value(unsigned char c, int32_t base) {
    if (c < '0' || c > 'z' || !std::isalnum(c))
        return -1;
    const int32_t v = xp_digit_map[c - '0'];
    return v < base ? v : -1;
}

} // namespace

int32_t xp_parse(int32_t n, unsigned char *z, const char *str, int32_t base, char **end) {
    assert_require(str != nullptr);
    assert_require(base >= 2 && base <= 36);

    const char *p = str;
    while (is_space(static_cast<unsigned char>(*p)))
        p++;
    if (digit_value(static_cast<unsigned char>(*p), base) < 0) {
        if (end != nullptr)
            *end = const_cast<char *>(str);
        return 0;
    }
    for (int32_t v; (v = digit_value(static_cast<unsigned char>(*p), base)) >= 0; p++) {
        if (n <= 0)
            continue;
        int32_t carry = static_cast<int32_t>(xp_times_digit(n, z, z, static_cast<uint32_t>(base)));
        if (carry == 0)
            carry = xp_plus_digit(n, z, z, v);
        if (carry != 0) {
            if (end != nullptr)
                *end = const_cast<char *>(p);
            return carry;
        }
    }
    if (end != nullptr)
        *end = const_cast<char *>(p);
    return 0;
}

char *xp_render(char *str, int32_t size, int32_t base, int32_t n, unsigned char *x) {
    assert_require(str != nullptr);
    assert_require(base >= 2 && base <= 36);

    // Digits come out least significant first; m shrinks past the quotient's
    // zero top digits. An array of no digits is zero.
    int32_t i = 0;
    int32_t m = n;
    do {
        const uint32_t digit = m > 0 ? xp_divide_digit(m, x, x, static_cast<uint32_t>(base)) : 0;
        assert_require(i < size);
        str[i++] = xp_digit_chars[digit];
        while (m > 1 && x[m - 1] == 0)
            m--;
    } while (m > 1 || (m == 1 && x[0] != 0));
    assert_require(i < size);
    str[i] = '\0';

    for (int32_t lo = 0, hi = i - 1; lo < hi; lo++, hi--) {
        const char c = str[lo];
        str[lo] = str[hi];
        str[hi] = c;
    }
    return str;
}

void xp_shift_left(int32_t n, unsigned char *z, int32_t m, const unsigned char *x, int32_t s,
                   int32_t fill) {
    if (n <= 0)
        return;
    const unsigned char f = fill ? 0xFF : 0x00;
    const int64_t d = s / 8;
    const int32_t b = s % 8;

    // Whole digits, moved from the top down so that z may be x. Only the
    // digits of x that land inside z are copied; positions above them are 0,
    // the d vacated ones below take the fill.
    int64_t c = n - d < m ? n - d : m;
    if (c < 0)
        c = 0;
    const int64_t top = d + c; // first position above the copied digits
    if (top < n)
        std::memset(z + top, 0, static_cast<size_t>(n - top));
    if (c > 0)
        std::memmove(z + d, x, static_cast<size_t>(c));
    std::memset(z, f, static_cast<size_t>(d < n ? d : n));

    // Remaining bits, from the bottom up; the carry out of the top is lost.
    if (b > 0) {
        uint32_t carry = 0;
        for (int32_t i = 0; i < n; i++) {
            const uint32_t t = (static_cast<uint32_t>(z[i]) << b) | carry;
            z[i] = static_cast<unsigned char>(t);
            carry = t >> 8;
        }
        z[0] |= static_cast<unsigned char>(f >> (8 - b));
    }
}

void xp_shift_right(int32_t n, unsigned char *z, int32_t m, const unsigned char *x, int32_t s,
                    int32_t fill) {
    if (n <= 0)
        return;
    const unsigned char f = fill ? 0xFF : 0x00;
    const int64_t d = s / 8;
    const int32_t b = s % 8;

    // Whole digits, moved from the bottom up so that z may be x; every
    // position above them takes the fill.
    int64_t c = m - d < n ? m - d : n;
    if (c < 0)
        c = 0;
    if (c > 0)
        std::memmove(z, x + d, static_cast<size_t>(c));
    if (c < n)
        std::memset(z + c, f, static_cast<size_t>(n - c));

    // Remaining bits, from the top down. The bits entering the top digit are
    // the low bits of the digit above the copied ones: a digit of x when x
    // reaches past z, else the fill.
    if (b > 0) {
        const uint32_t low = (1u << b) - 1;
        uint32_t carry = (d + n < m ? x[d + n] : f) & low;
        for (int32_t i = n - 1; i >= 0; i--) {
            const uint32_t t = (carry << 8) | z[i];
            z[i] = static_cast<unsigned char>(t >> b);
            carry = t & low;
        }
    }
}

} // namespace lexspot

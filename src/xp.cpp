// SPDX-License-Identifier: MIT

// Digit arrays: base-256 digits, least significant first, lengths passed with
// every call. The arrays are bytes of any length and alignment, but the loops
// below take a machine word of digits at a time: a word is loaded from and
// stored to its bytes in little-endian order whatever the host's order, so
// word arithmetic is digit arithmetic, and the last n mod W digits of an array
// form a short piece handled by the same loop body. Every loop reads a word
// of its operands before it writes that word of the result, which keeps the
// rule that z may be the very same array as x or y.
#include "xp.hpp"

#include <bit>
#include <cctype>
#include <cstring>
#include <type_traits>

#include "assert.hpp"

namespace lexspot {

namespace {

// The word and the double word that holds a product of two words: 64 and 128
// bits where the compiler has a 128-bit type, else 32 and 64.
#if defined(__SIZEOF_INT128__)
using Word = uint64_t;
using DoubleWord = unsigned __int128;
#else
using Word = uint32_t;
using DoubleWord = uint64_t;
#endif

constexpr int32_t word_bytes = static_cast<int32_t>(sizeof(Word));
constexpr int32_t word_bits = 8 * word_bytes;
constexpr Word word_max = ~Word{0};

// w with its bytes in little-endian order, read or written: the digits'
// order, whatever the host's.
template <typename W>
[[gnu::always_inline]] inline W little_endian(W w) {
    static_assert(sizeof w == 4 || sizeof w == 8);
    if constexpr (std::endian::native == std::endian::little)
        return w;
    else if constexpr (sizeof w == 8)
        return __builtin_bswap64(w);
    else
        return __builtin_bswap32(w);
}

// The sizeof(W) digits at p, which may have any alignment, as one W (a
// Word unless said otherwise, or a uint32_t), and back.
template <typename W = Word>
[[gnu::always_inline]] inline W load(const unsigned char *p) {
    W w;
    std::memcpy(&w, p, sizeof w);
    return little_endian(w);
}

template <typename W>
[[gnu::always_inline]] inline void store(unsigned char *p, W w) {
    w = little_endian(w);
    std::memcpy(p, &w, sizeof w);
}

// The k digits at p as a word, for k from 0 to word_bytes. Inlined so that
// the common lengths take no call and a constant k folds. Pieces of 4 digits
// or more are read as two overlapping halves rather than digit by digit: a
// digit read twice lands at its own place both times.
[[gnu::always_inline]] inline Word load_n(const unsigned char *p, int32_t k) {
    if (k == word_bytes)
        return load(p);
    if (k >= 4)
        return load<uint32_t>(p) | (static_cast<Word>(load<uint32_t>(p + k - 4)) << (8 * (k - 4)));
    Word w = 0;
    if (k > 2)
        w = static_cast<Word>(p[2]) << 16;
    if (k > 1)
        w |= static_cast<Word>(p[1]) << 8;
    if (k > 0)
        w |= p[0];
    return w;
}

// Stores the low k digits of w at p, for k from 0 to word_bytes, the same way.
[[gnu::always_inline]] inline void store_n(unsigned char *p, int32_t k, Word w) {
    if (k == word_bytes) {
        store(p, w);
    } else if (k >= 4) {
        store(p, static_cast<uint32_t>(w));
        store(p + k - 4, static_cast<uint32_t>(w >> (8 * (k - 4))));
    } else {
        if (k > 0)
            p[0] = static_cast<unsigned char>(w);
        if (k > 1)
            p[1] = static_cast<unsigned char>(w >> 8);
        if (k > 2)
            p[2] = static_cast<unsigned char>(w >> 16);
    }
}

// The number of bits of w, 0 for 0.
int32_t bit_length(Word w) {
    if (w == 0)
        return 0;
#if defined(__SIZEOF_INT128__)
    return word_bits - __builtin_clzll(w);
#else
    return word_bits - __builtin_clz(w);
#endif
}

Word high(DoubleWord t) {
    return static_cast<Word>(t >> word_bits);
}

// The part of t at and above bit 8k, for a piece of k < word_bytes digits.
Word above_piece(Word t, int32_t k) {
    return t >> (8 * k);
}

// A word divisor prepared for division by multiplication: d shifted left until
// its top bit is set, and the reciprocal floor((2^(2w) - 1) / d) - 2^w of that
// normalized value (w the word's bits). One hardware division makes it; each
// word divided then costs two multiplications.
struct Divisor {
    Word d;
    Word reciprocal;
    int32_t shift;
};

Divisor divisor_of(Word d) {
    Divisor v{};
    // d | 1 has the bit length of d for every divisor; a zero one is no
    // divisor, and the division below traps as any division by zero does.
    v.shift = word_bits - bit_length(d | 1);
    v.d = d << v.shift;
    const DoubleWord all = (static_cast<DoubleWord>(~v.d) << word_bits) | word_max;
    // NOLINTNEXTLINE(clang-analyzer-core.DivideZero): v.d has its top bit set for d > 0
    v.reciprocal = static_cast<Word>(all / v.d);
    return v;
}

// Divides the double word (u1, u0) by the normalized v.d, with u1 < v.d: the
// quotient is returned and the remainder stored into r. The estimate from the
// reciprocal is at most one off either way; the two tests correct it.
Word divide_two_by_one(Word u1, Word u0, const Divisor &v, Word &r) {
    const DoubleWord t = static_cast<DoubleWord>(v.reciprocal) * u1 +
                         ((static_cast<DoubleWord>(u1) << word_bits) | u0);
    Word q = high(t) + 1;
    Word rest = u0 - q * v.d;
    if (rest > static_cast<Word>(t)) {
        q--;
        rest += v.d;
    }
    if (rest >= v.d) {
        q++;
        rest -= v.d;
    }
    r = rest;
    return q;
}

// z = x / d over n digits, from the top down, for a nonzero word d and v
// prepared from it; returns the remainder. The short piece of n mod W digits
// is the top one here, so that the quotient is taken a whole word at a time
// below it.
Word divide_prepared(int32_t n, unsigned char *z, const unsigned char *x, Word d,
                     const Divisor &v) {
    if (n <= 0)
        return 0;
    if (n <= word_bytes) {
        const Word a = load_n(x, n);
        if (a < d) { // as when rendering a small number
            store_n(z, n, 0);
            return a;
        }
        store_n(z, n, a / d);
        return a % d;
    }
    const int32_t s = v.shift;
    // The running remainder is kept shifted left by s, like the divisor; each
    // word of x enters shifted by s as well, its top s bits joining the
    // remainder's word.
    Word r = 0;
    int32_t i = n - n % word_bytes;
    int32_t k = n - i;
    while (i >= 0) {
        if (k > 0) {
            const Word a = load_n(x + i, k);
            const Word u1 = s == 0 ? r : r | (a >> (word_bits - s));
            store_n(z + i, k, divide_two_by_one(u1, a << s, v, r));
        }
        i -= word_bytes;
        k = word_bytes;
    }
    return r >> s;
}

// The same for a divisor used once: arrays of one word need no reciprocal.
Word divide_word(int32_t n, unsigned char *z, const unsigned char *x, Word d) {
    return divide_prepared(n, z, x, d, n <= word_bytes ? Divisor{} : divisor_of(d));
}

// z = x * y + c over n digits; returns the part of the sum above them.
Word multiply_add(int32_t n, unsigned char *z, const unsigned char *x, Word y, Word c) {
    int32_t i = 0;
    for (; i + word_bytes <= n; i += word_bytes) {
        const DoubleWord t = static_cast<DoubleWord>(load(x + i)) * y + c;
        store(z + i, static_cast<Word>(t));
        c = high(t);
    }
    if (i < n) {
        const int32_t k = n - i;
        const DoubleWord t = static_cast<DoubleWord>(load_n(x + i, k)) * y + c;
        store_n(z + i, k, static_cast<Word>(t));
        c = static_cast<Word>(t >> (8 * k));
    }
    return c;
}

} // namespace

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

// In the loops below the short piece is the top one: i runs over whole words
// while they fit, and the last k = n - i digits, fewer than a word, are added
// as a value that cannot overflow a word, its carry being the bits above 8k.

int32_t xp_plus(int32_t n, unsigned char *z, const unsigned char *x, const unsigned char *y,
                int32_t carry) {
    Word c = static_cast<Word>(carry);
    int32_t i = 0;
    for (; i + word_bytes <= n; i += word_bytes) {
        const Word a = load(x + i);
        const Word s = a + load(y + i);
        const Word t = s + c;
        store(z + i, t);
        c = static_cast<Word>(s < a) | static_cast<Word>(t < s);
    }
    if (i < n) {
        const int32_t k = n - i;
        const Word t = load_n(x + i, k) + load_n(y + i, k) + c;
        store_n(z + i, k, t);
        c = above_piece(t, k);
    }
    return static_cast<int32_t>(c);
}

int32_t xp_minus(int32_t n, unsigned char *z, const unsigned char *x, const unsigned char *y,
                 int32_t borrow) {
    Word b = static_cast<Word>(borrow);
    int32_t i = 0;
    for (; i + word_bytes <= n; i += word_bytes) {
        const Word a = load(x + i);
        const Word d = a - load(y + i);
        const Word t = d - b;
        store(z + i, t);
        b = static_cast<Word>(d > a) | static_cast<Word>(t > d);
    }
    if (i < n) {
        // A negative difference wraps: its bits above 8k are all ones.
        const int32_t k = n - i;
        const Word t = load_n(x + i, k) - load_n(y + i, k) - b;
        store_n(z + i, k, t);
        b = above_piece(t, k) & 1;
    }
    return static_cast<int32_t>(b);
}

int32_t xp_plus_digit(int32_t n, unsigned char *z, const unsigned char *x, int32_t y) {
    Word c = static_cast<Word>(y);
    int32_t i = 0;
    for (; i + word_bytes <= n; i += word_bytes) {
        const Word t = load(x + i) + c;
        store(z + i, t);
        c = static_cast<Word>(t < c);
    }
    if (i < n) {
        const int32_t k = n - i;
        const Word t = load_n(x + i, k) + c;
        store_n(z + i, k, t);
        c = above_piece(t, k);
    }
    return static_cast<int32_t>(c);
}

int32_t xp_minus_digit(int32_t n, unsigned char *z, const unsigned char *x, int32_t y) {
    Word b = static_cast<Word>(y);
    int32_t i = 0;
    for (; i + word_bytes <= n; i += word_bytes) {
        const Word a = load(x + i);
        store(z + i, a - b);
        b = static_cast<Word>(a < b);
    }
    if (i < n) {
        const int32_t k = n - i;
        const Word t = load_n(x + i, k) - b;
        store_n(z + i, k, t);
        b = above_piece(t, k) & 1;
    }
    return static_cast<int32_t>(b);
}

int32_t xp_negate(int32_t n, unsigned char *z, const unsigned char *x, int32_t carry) {
    Word c = static_cast<Word>(carry);
    int32_t i = 0;
    for (; i + word_bytes <= n; i += word_bytes) {
        const Word t = ~load(x + i) + c;
        store(z + i, t);
        c = static_cast<Word>(t < c);
    }
    if (i < n) {
        const int32_t k = n - i;
        const Word t = (~load_n(x + i, k) & ((Word{1} << (8 * k)) - 1)) + c;
        store_n(z + i, k, t);
        c = above_piece(t, k);
    }
    return static_cast<int32_t>(c);
}

uint32_t xp_times_digit(int32_t n, unsigned char *z, const unsigned char *x, uint32_t y) {
    return static_cast<uint32_t>(multiply_add(n, z, x, y, 0));
}

uint32_t xp_divide_digit(int32_t n, unsigned char *z, const unsigned char *x, uint32_t y) {
    return static_cast<uint32_t>(divide_word(n, z, x, y));
}

int32_t xp_compare(int32_t n, const unsigned char *x, const unsigned char *y) {
    if (n < 1)
        return 0;
    // Whole words from the top down, then the short piece at the bottom digit
    // by digit. In a word that differs, the top differing digit is found from
    // the top set bit of the two words' difference.
    int32_t i = n;
    for (; i >= word_bytes; i -= word_bytes) {
        const Word a = load(x + i - word_bytes);
        const Word b = load(y + i - word_bytes);
        if (a != b) {
            const int32_t at = i - word_bytes + (bit_length(a ^ b) - 1) / 8;
            return static_cast<int32_t>(x[at]) - static_cast<int32_t>(y[at]);
        }
    }
    while (i > 1 && x[i - 1] == y[i - 1])
        i--;
    return i > 0 ? static_cast<int32_t>(x[i - 1]) - static_cast<int32_t>(y[i - 1]) : 0;
}

namespace {

// z[0 .. m) += y * a over the m digits of y; returns the carry out, the part
// of the sum at and above digit m. It is below 2^(8k) when a is below 2^(8k).
Word add_product(unsigned char *z, const unsigned char *y, int32_t m, Word a) {
    Word c = 0;
    int32_t j = 0;
    for (; j + word_bytes <= m; j += word_bytes) {
        // The product's halves with the carry and z's word added each with
        // its own carry bit, which compilers turn into add-with-carry.
        const DoubleWord p = static_cast<DoubleWord>(load(y + j)) * a;
        Word lo = static_cast<Word>(p);
        Word hi = high(p);
        lo += c;
        hi += static_cast<Word>(lo < c);
        const Word zj = load(z + j);
        lo += zj;
        hi += static_cast<Word>(lo < zj);
        store(z + j, lo);
        c = hi;
    }
    if (j < m) {
        // (2^(8k) - 1) * (2^w - 1) + (2^(8k) - 1) + (2^w - 1) is 2^(8k + w) - 1,
        // so the carry still fits a word.
        const int32_t k = m - j;
        const DoubleWord t = static_cast<DoubleWord>(load_n(y + j, k)) * a + load_n(z + j, k) + c;
        store_n(z + j, k, static_cast<Word>(t));
        c = static_cast<Word>(t >> (8 * k));
    }
    return c;
}

// z[0 .. n) += c; returns 1 when the sum did not fit.
int32_t add_carry(unsigned char *z, int32_t n, Word c) {
    for (int32_t i = 0; c != 0 && i < n; i += word_bytes) {
        const int32_t k = n - i < word_bytes ? n - i : word_bytes;
        const DoubleWord t = static_cast<DoubleWord>(load_n(z + i, k)) + c;
        store_n(z + i, k, static_cast<Word>(t));
        c = static_cast<Word>(t >> (8 * k));
    }
    return c != 0 ? 1 : 0;
}

} // namespace

int32_t xp_times(unsigned char *z, int32_t n, const unsigned char *x, int32_t m,
                 const unsigned char *y) {
    if (n <= 0 || m <= 0)
        return 0;
    // One row per word of x (the short piece last): add x's word times y at
    // the word's place, then carry what comes out of the row into the digits
    // of z above it, which stop changing once the carry is 0.
    int32_t result = 0;
    for (int32_t i = 0; i < n; i += word_bytes) {
        const int32_t k = n - i < word_bytes ? n - i : word_bytes;
        const Word c = add_product(z + i, y, m, load_n(x + i, k));
        result |= add_carry(z + i + m, n - i, c);
    }
    return result;
}

namespace {

// Bits pos to pos + w - 1 of the len-digit number at p, where positions below
// 0 and at or above 8 * len read as zeros.
Word bits_at(const unsigned char *p, int32_t len, int64_t pos) {
    const int64_t o = pos >= 0 ? pos / 8 : -((7 - pos) / 8); // floor(pos / 8)
    const int32_t r = static_cast<int32_t>(pos - 8 * o);
    if (o >= 0 && o + word_bytes < len) {
        const Word lo = load(p + o);
        return r == 0 ? lo : (lo >> r) | (static_cast<Word>(p[o + word_bytes]) << (word_bits - r));
    }
    DoubleWord t = 0;
    for (int64_t i = o + word_bytes; i >= o; i--)
        t = (t << 8) | (i >= 0 && i < len ? p[i] : 0u);
    return static_cast<Word>(t >> r);
}

int32_t min32(int32_t a, int32_t b) {
    return a < b ? a : b;
}

// w[0 .. len) -= y * q, y having m <= len digits; returns 1 when the true
// difference is negative (w then holds it modulo 256^len), else 0.
int32_t subtract_product(unsigned char *w, int32_t len, const unsigned char *y, int32_t m, Word q) {
    Word c = 0; // the product's carry
    Word b = 0; // the subtraction's borrow
    for (int32_t j = 0; j < len; j += word_bytes) {
        const int32_t k = min32(word_bytes, len - j);
        const int32_t ky = m - j < 0 ? 0 : min32(k, m - j);
        const DoubleWord p = static_cast<DoubleWord>(load_n(y + j, ky)) * q + c;
        const Word a = load_n(w + j, k);
        if (k == word_bytes) {
            const Word d = a - static_cast<Word>(p);
            const Word t = d - b;
            store(w + j, t);
            c = high(p);
            b = static_cast<Word>(d > a) | static_cast<Word>(t > d);
        } else {
            // The short top piece: what the product holds above its 8k bits
            // stays in the carry, and a negative difference wraps.
            const Word t = a - (static_cast<Word>(p) & ((Word{1} << (8 * k)) - 1)) - b;
            store_n(w + j, k, t);
            c = static_cast<Word>(p >> (8 * k));
            b = above_piece(t, k) & 1;
        }
    }
    return c != 0 || b != 0 ? 1 : 0;
}

// w[0 .. len) += y modulo 256^len, y having m <= len digits; returns the carry
// out of the top.
int32_t add_back(unsigned char *w, int32_t len, const unsigned char *y, int32_t m) {
    Word c = 0;
    for (int32_t j = 0; j < len; j += word_bytes) {
        const int32_t k = min32(word_bytes, len - j);
        const int32_t ky = m - j < 0 ? 0 : min32(k, m - j);
        const Word a = load_n(w + j, k);
        if (k == word_bytes) {
            const Word s = a + load_n(y + j, ky);
            const Word t = s + c;
            store(w + j, t);
            c = static_cast<Word>(s < a) | static_cast<Word>(t < s);
        } else {
            const Word t = a + load_n(y + j, ky) + c;
            store_n(w + j, k, t);
            c = above_piece(t, k);
        }
    }
    return static_cast<int32_t>(c);
}

} // namespace

int32_t xp_divide(int32_t n, unsigned char *q, const unsigned char *x, int32_t m,
                  const unsigned char *y, unsigned char *r, unsigned char *work) {
    assert_require(m >= 1);
    const int32_t nx = xp_significant_length(n, x);
    const int32_t my = xp_significant_length(m, y);

    if (my <= word_bytes) {
        // A divisor of one word: a single pass, from the top digit down.
        const Word d = load_n(y, my);
        if (d == 0)
            return 0;
        store_n(r, my, divide_word(n, q, x, d));
        for (int32_t i = my; i < m; i++)
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

    // Long division over the significant digits, a word of quotient digits per
    // step (the short piece first, at the top). The running remainder R is
    // work[0 .. nx], the significant digits of x and one zero digit above
    // them. The step that yields the c quotient digits from digit i divides the
    // window R[i .. i + my + c) by y; the window is below y * 256^c before the
    // step and below y after it, so R's digits above i + my are zero then.
    assert_require(my >= 2);
    unsigned char *const rem = work;
    std::memcpy(rem, x, static_cast<size_t>(nx));
    rem[nx] = 0;
    const int32_t k = nx - my;

    // Normalization, without shifting any array: every estimate reads y and
    // the window at the same bit offset s, chosen so that the top set bit of
    // y is the top bit of y_top. y_next holds the bits of y below y_top.
    const int64_t ybits = 8 * static_cast<int64_t>(my - 1) + bit_length(y[my - 1]);
    const int64_t s = ybits - word_bits;
    const Word y_top = bits_at(y, my, s);
    const Word y_next = bits_at(y, my, s - word_bits);
    const Divisor v = divisor_of(y_top);

    for (int32_t top = k + 1; top > 0;) {
        const int32_t c = top % word_bytes == 0 ? word_bytes : top % word_bytes;
        const int32_t i = top - c;
        const int32_t len = my + c;
        unsigned char *const window = rem + i;
        assert_require(i + len <= nx + 1);

        // Estimate: the window's two words at offset s divided by y_top. This
        // is never below the true quotient and at most 2 above it. When the
        // top word reaches y_top the quotient is at least 2^w - 2, as y is
        // below (y_top + 1) * 2^s and y_top at least 2^(w-1), and all ones
        // is the estimate, at most 1 above it. A short chunk is the first
        // one, whose window is below 256^(my - 1 + c), at most
        // y_top * 2^(s + 8c): its estimate fits its c digits.
        const Word u1 = bits_at(window, len, s + word_bits);
        Word qk = word_max;
        if (u1 < y_top) {
            Word rk = 0;
            qk = divide_two_by_one(u1, bits_at(window, len, s), v, rk);
            // Refinement with the next word of each: while qk * (y_top,
            // y_next) exceeds the window's three words, qk * y exceeds the
            // window too, so qk is too large. This leaves it at most 1 above
            // the true quotient, and rarely that.
            const Word u2 = bits_at(window, len, s - word_bits);
            while (static_cast<DoubleWord>(qk) * y_next >
                   ((static_cast<DoubleWord>(rk) << word_bits) | u2)) {
                qk--;
                const Word before = rk;
                rk += y_top;
                if (rk < before)
                    break; // rk passed a word: the test cannot hold again
            }
        }
        assert_require(c == word_bytes || qk >> (8 * c) == 0);

        // Multiply and subtract; when the window went negative, qk was one
        // too large: add y back, which brings the window back to at least 0,
        // carrying out of its top.
        if (subtract_product(window, len, y, my, qk) != 0) {
            qk--;
            assert_require(add_back(window, len, y, my) != 0);
        }
        store_n(q + i, c, qk);
        top = i;
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

// The digit's value when c is a digit of base, else -1. A digit is a
// character that isalnum accepts and the map values below the base; between
// '0' and 'z' the map alone decides, since every locale classifies the ASCII
// digits and letters as alphanumeric and the map gives the characters between
// them 36, no digit in any base.
int32_t digit_value(unsigned char c, int32_t base) {
    if (c < '0' || c > 'z')
        return -1;
    const int32_t v = xp_digit_map[c - '0'];
    return v < base ? v : -1;
}

// The largest power of a base that fits a word, and its exponent: the digits
// of the base taken per step.
struct Chunk {
    Word power;
    int32_t digits;
};

constexpr Chunk chunk_of(Word b) {
    Chunk c{b, 1};
    while (c.power <= word_max / b) {
        c.power *= b;
        c.digits++;
    }
    return c;
}

// Each base's chunk, worked out once, at compile time.
struct ChunkTable {
    Chunk of[xp_digit_count + 1];
};

constexpr ChunkTable make_chunk_table() {
    ChunkTable t{};
    for (int32_t base = 2; base <= xp_digit_count; base++)
        t.of[base] = chunk_of(static_cast<Word>(base));
    return t;
}

constexpr ChunkTable chunks = make_chunk_table();

// The significant digits of the len-digit z, 0 for zero, and their bits.
int32_t used_digits(int32_t len, const unsigned char *z) {
    while (len > 0 && z[len - 1] == 0)
        len--;
    return len;
}

int64_t used_bits(int32_t len, const unsigned char *z) {
    return len == 0 ? 0 : 8 * static_cast<int64_t>(len - 1) + bit_length(z[len - 1]);
}

// Stores the count low digits of v in base at str, least significant first,
// leading zeros included. A constant base lets the compiler divide by
// multiplication.
template <typename Base>
void put_digits(char *str, Word v, int32_t count, Base base) {
    for (int32_t i = 0; i < count; i++) {
        str[i] = xp_digit_chars[v % base];
        v /= base;
    }
}

// The last digits of a render, when x's m digits hold a value a below a word:
// one digit per division of a, stored from str[i] on; returns the new i. x
// receives the quotient reached only when the buffer runs out, as the raise
// requires, and zeros at the end.
template <typename Base>
int32_t put_last_digits(char *str, int32_t i, int32_t size, Word a, Base base, unsigned char *x,
                        int32_t m) {
    do {
        const Word digit = a % base;
        a /= base;
        if (i >= size)
            store_n(x, m, a);
        assert_require(i < size);
        str[i++] = xp_digit_chars[digit];
    } while (a != 0);
    store_n(x, m, 0);
    return i;
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
    if (n <= 0) {
        while (digit_value(static_cast<unsigned char>(*p), base) >= 0)
            p++;
        if (end != nullptr)
            *end = const_cast<char *>(p);
        return 0;
    }

    // While z's bits leave room, up to a word's worth of digits is gathered
    // into a value and taken in one step, z = z * base^j + value: as
    // (z + 1) * base^j < 2^(bits(z) + bits(base^j)), that step cannot
    // overflow when the sum of bits is at most 8n. Where not even one digit
    // is sure to fit, the digit is taken alone, multiply then add, so that an
    // overflow leaves z and end where that single step left them.
    const Chunk chunk = chunks.of[base];
    const Word b = static_cast<Word>(base);
    const int64_t room = 8 * static_cast<int64_t>(n);
    int32_t len = used_digits(n, z);
    int64_t bits = used_bits(len, z);
    for (;;) {
        // The digits this step may take: a whole chunk while z's bits leave
        // room for it, fewer near the top, none where even one may overflow.
        int32_t limit = chunk.digits;
        if (bits + bit_length(chunk.power) > room) {
            limit = 0;
            for (Word power = b; limit < chunk.digits && bits + bit_length(power) <= room;
                 power *= b)
                limit++;
        }
        Word power = 1;
        Word value = 0;
        int32_t j = 0;
        int32_t v = 0;
        for (; j < limit && (v = digit_value(static_cast<unsigned char>(*p), base)) >= 0;
             j++, p++) {
            power *= b;
            value = value * b + static_cast<Word>(v);
        }
        if (j > 0) {
            // The value needs at most a word more digits than z had.
            const int32_t span = min32(n, len + word_bytes);
            multiply_add(span, z, z, power, value);
            len = used_digits(span, z);
            bits = used_bits(len, z);
            continue;
        }
        if (limit > 0 || (v = digit_value(static_cast<unsigned char>(*p), base)) < 0)
            break;
        int32_t carry = static_cast<int32_t>(xp_times_digit(n, z, z, static_cast<uint32_t>(base)));
        if (carry == 0)
            carry = xp_plus_digit(n, z, z, v);
        if (carry != 0) {
            if (end != nullptr)
                *end = const_cast<char *>(p);
            return carry;
        }
        p++;
        len = used_digits(min32(n, len + 1), z);
        bits = used_bits(len, z);
    }
    if (end != nullptr)
        *end = const_cast<char *>(p);
    return 0;
}

char *xp_render(char *str, int32_t size, int32_t base, int32_t n, unsigned char *x) {
    assert_require(str != nullptr);
    assert_require(base >= 2 && base <= 36);

    // Digits come out least significant first; m shrinks past the quotient's
    // zero top digits. An array of no digits is zero. While x is above a word
    // and the buffer has room for a whole chunk, x is divided by base^k and
    // gives k digits at once; with less room, one digit per division, so that
    // a raise for want of room finds the buffer and x exactly as single
    // divisions would have left them. The last digits, once x fits a word,
    // come from word arithmetic alone.
    const Chunk chunk = chunks.of[base];
    const Divisor v = n > word_bytes ? divisor_of(chunk.power) : Divisor{};
    const std::integral_constant<Word, 10> ten;
    const Word b = static_cast<Word>(base);
    int32_t i = 0;
    int32_t m = n;
    if (m <= 0) {
        assert_require(i < size);
        str[i++] = '0';
    }
    while (m > 0) {
        while (m > 1 && x[m - 1] == 0)
            m--;
        if (m <= word_bytes) {
            const Word a = load_n(x, m);
            if (a < chunk.power) {
                i = base == 10 ? put_last_digits(str, i, size, a, ten, x, m)
                               : put_last_digits(str, i, size, a, b, x, m);
                break;
            }
        }
        // x is at least base^k here, so the quotient below is not zero.
        if (size - i >= chunk.digits) {
            const Word rest = divide_prepared(m, x, x, chunk.power, v);
            if (base == 10)
                put_digits(str + i, rest, chunk.digits, ten);
            else
                put_digits(str + i, rest, chunk.digits, b);
            i += chunk.digits;
        } else {
            const Word digit = divide_word(m, x, x, b);
            assert_require(i < size);
            str[i++] = xp_digit_chars[digit];
        }
    }
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

    // Remaining bits, a word at a time from the bottom up: each word takes
    // the top b bits of the word below as it was before the shift. The bits
    // shifted out of the top are lost.
    if (b > 0) {
        Word carry = 0;
        for (int32_t i = 0; i < n; i += word_bytes) {
            const int32_t k = n - i < word_bytes ? n - i : word_bytes;
            const Word t = load_n(z + i, k);
            store_n(z + i, k, (t << b) | carry);
            carry = t >> (8 * k - b);
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

    // Remaining bits, a word at a time from the top down (the short piece
    // first): each word takes the low b bits of the word above as it was
    // before the shift. The bits entering the top digit are the low bits of
    // the digit above the copied ones: a digit of x when x reaches past z,
    // else the fill.
    if (b > 0) {
        const Word low = (Word{1} << b) - 1;
        Word carry = (d + n < m ? x[d + n] : f) & low;
        int32_t i = n - n % word_bytes;
        int32_t k = n - i;
        while (i >= 0) {
            if (k > 0) {
                const Word t = load_n(z + i, k);
                store_n(z + i, k, (t >> b) | (carry << (8 * k - b)));
                carry = t & low;
            }
            i -= word_bytes;
            k = word_bytes;
        }
    }
}

} // namespace lexspot

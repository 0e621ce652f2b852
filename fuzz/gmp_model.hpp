// SPDX-License-Identifier: MIT

// GMP integers as the model of the number targets: digit arrays go in and
// out least significant byte first.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include <gmp.h>

namespace lexspot::fuzz {

using Digits = std::vector<unsigned char>;

struct Big {
    mpz_t v;
    Big() { mpz_init(v); }
    explicit Big(long s) { mpz_init_set_si(v, s); }
    Big(const unsigned char *p, int32_t n) {
        mpz_init(v);
        mpz_import(v, static_cast<size_t>(n), -1, 1, 0, 0, p);
    }
    Big(const Big &o) { mpz_init_set(v, o.v); }
    Big &operator=(const Big &o) {
        mpz_set(v, o.v);
        return *this;
    }
    ~Big() { mpz_clear(v); }
    operator mpz_ptr() { return v; }
    operator mpz_srcptr() const { return v; }
    // By value, not by the address the conversions above would compare.
    friend bool operator==(const Big &a, const Big &b) { return mpz_cmp(a.v, b.v) == 0; }
};

// 2^bits.
inline Big power_of_two(uint64_t bits) {
    Big r;
    mpz_setbit(r, bits);
    return r;
}

// The low n digits of v (taken modulo 256^n, so negative values wrap).
inline Digits digits_of(mpz_srcptr v, int32_t n) {
    Big low;
    mpz_fdiv_r_2exp(low, v, 8 * static_cast<mp_bitcnt_t>(n));
    Digits d(static_cast<size_t>(n), 0);
    size_t count = 0;
    if (mpz_sgn(low.v) != 0)
        mpz_export(d.data(), &count, -1, 1, 0, 0, low);
    return d;
}

// v shifted down by 8n bits, as a machine word (the caller knows it fits).
inline uint64_t above(mpz_srcptr v, int32_t n) {
    Big high;
    mpz_fdiv_q_2exp(high, v, 8 * static_cast<mp_bitcnt_t>(n));
    return mpz_get_ui(high);
}

inline std::string hex(const unsigned char *p, int32_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int32_t k = n - 1; k >= 0; --k) {
        s += digits[p[k] >> 4];
        s += digits[p[k] & 15];
    }
    return s.empty() ? "-" : s;
}

inline std::string hex(const Digits &d) {
    return hex(d.data(), static_cast<int32_t>(d.size()));
}

// The value of a digit character in any base up to 36; 99 for anything else.
inline int digit_value(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

// What reading the digits of `s` onto the n-digit value `start` gives: after
// white space, each digit multiplies by the base and then adds itself, and
// the scan stops at the first step whose result needs more than n digits.
struct Parsed {
    Big value;      // the last step's exact result (not reduced)
    size_t stop;    // where the scan stopped; 0 when there is no digit
    uint64_t carry; // the part above n digits of the step that stopped it, or 0
};

inline Parsed parse_model(int32_t n, const Big &start, const std::string &s, int base) {
    Parsed p{start, 0, 0};
    const Big limit = power_of_two(8 * uint64_t(n > 0 ? n : 0));
    size_t at = 0;
    while (at < s.size() && s[at] != '\0' && std::isspace(static_cast<unsigned char>(s[at])))
        ++at;
    if (at >= s.size() || digit_value(static_cast<unsigned char>(s[at])) >= base)
        return p;
    Big step;
    for (p.stop = at; p.stop < s.size(); ++p.stop) {
        const int d = digit_value(static_cast<unsigned char>(s[p.stop]));
        if (d >= base)
            break;
        if (n <= 0)
            continue;
        mpz_mul_ui(step, p.value, static_cast<unsigned long>(base));
        if (mpz_cmp(step, limit) < 0)
            mpz_add_ui(step, step, static_cast<unsigned long>(d));
        p.value = step;
        if (mpz_cmp(step, limit) >= 0) {
            p.carry = above(step, n);
            break;
        }
    }
    return p;
}

// A string of up to `max` digits in `base`, after some white space and in
// either letter case, ended by NUL, a digit of a larger base, punctuation or
// a high byte.
template <typename In>
std::string digit_string(In &in, int base, int max) {
    std::string s;
    static const char spaces[] = " \t\n\v\f\r";
    for (int k = in.below(4); k > 0; --k)
        s += spaces[in.below(6)];
    for (int k = in.below(max + 1); k > 0; --k) {
        const int d = in.below(base);
        s += static_cast<char>(d < 10 ? '0' + d : (in.below(2) ? 'a' : 'A') + d - 10);
    }
    static const char stops[] = "\0z:@[`{ -\x80\xff";
    s += stops[in.below(sizeof stops - 1)];
    return s;
}

inline std::string printable(const std::string &s) {
    std::string shown;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        shown += std::isprint(u) ? std::string(1, c) : "\\x" + hex(&u, 1);
    }
    return shown;
}

} // namespace lexspot::fuzz

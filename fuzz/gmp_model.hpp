// GMP integers as the model of the number targets: digit arrays go in and
// out least significant byte first.
#pragma once

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

} // namespace lexspot::fuzz

// SPDX-License-Identifier: MIT

// Fixed-width integers against native integers (24 and 64 bits) and GMP's
// mpz (256 bits): the driver's per-line increment and comparison, and signed
// multiplication and floor division.
#include <benchmark/benchmark.h>
#include <gmp.h>

#include <cstdint>
#include <vector>

#include <lexspot/mp.hpp>

namespace {

using namespace lexspot;

// A value of the current width holding v (any width), through the library.
std::vector<unsigned char> value(int64_t v) {
    std::vector<unsigned char> b(static_cast<size_t>(mp_bytes));
    mp_from_signed(b.data(), v);
    return b;
}

// A value of the current width holding sign * 2^k + low.
std::vector<unsigned char> power_value(int k, int64_t low, bool negative) {
    std::vector<unsigned char> b = value(1);
    mp_shift_left(b.data(), b.data(), k);
    mp_add_si(b.data(), b.data(), low);
    if (negative)
        mp_negate(b.data(), b.data());
    return b;
}

void set_mpz(mpz_t z, int k, long low, bool negative) {
    mpz_set_ui(z, 1);
    mpz_mul_2exp(z, z, static_cast<mp_bitcnt_t>(k));
    if (low >= 0)
        mpz_add_ui(z, z, static_cast<unsigned long>(low));
    else
        mpz_sub_ui(z, z, static_cast<unsigned long>(-low));
    if (negative)
        mpz_neg(z, z);
}

// ---- The driver's per-line operations at 24 bits

void BM_mp_add_si_24(benchmark::State &state) {
    mp_set_width(24);
    std::vector<unsigned char> v = value(1);
    uint32_t n = 0;
    for (auto _ : state) {
        mp_add_si(v.data(), v.data(), 1);
        benchmark::DoNotOptimize(v.data());
        if (++n == (1u << 22)) { // stay below the 24-bit maximum
            n = 0;
            mp_from_signed(v.data(), 1);
        }
    }
}
BENCHMARK(BM_mp_add_si_24);

void BM_native_add_24(benchmark::State &state) {
    int32_t v = 1;
    uint32_t n = 0;
    for (auto _ : state) {
        if (v == 8388607) // the same overflow test against the 24-bit maximum
            state.SkipWithError("overflow");
        ++v;
        benchmark::DoNotOptimize(v);
        if (++n == (1u << 22)) {
            n = 0;
            v = 1;
        }
    }
}
BENCHMARK(BM_native_add_24);

void BM_mp_compare_s_24(benchmark::State &state) {
    mp_set_width(24);
    std::vector<unsigned char> a = value(123456), b = value(123457);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(mp_compare_s(a.data(), b.data()));
    }
}
BENCHMARK(BM_mp_compare_s_24);

void BM_native_compare_24(benchmark::State &state) {
    int32_t a = 123456, b = 123457;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(a < b ? -1 : a > b);
    }
}
BENCHMARK(BM_native_compare_24);

// ---- Signed multiplication and floor division at 24, 64 and 256 bits.
// The product fits (magnitudes near 2^(w/2 - 1)); the dividend is near
// 2^(w - 2) and the divisor near -2^(w/2 - 1).

void BM_mp_mul_s(benchmark::State &state) {
    const int w = static_cast<int>(state.range(0));
    mp_set_width(w);
    std::vector<unsigned char> x = power_value(w / 2 - 2, 345, false);
    std::vector<unsigned char> y = power_value(w / 2 - 2, 777, true), z(x.size());
    for (auto _ : state) {
        mp_mul_s(z.data(), x.data(), y.data());
        benchmark::DoNotOptimize(z.data());
    }
    mp_set_width(32);
}
BENCHMARK(BM_mp_mul_s)->Arg(24)->Arg(64)->Arg(256);

void BM_mp_div_s(benchmark::State &state) {
    const int w = static_cast<int>(state.range(0));
    mp_set_width(w);
    std::vector<unsigned char> x = power_value(w - 2, 12345, false);
    std::vector<unsigned char> y = power_value(w / 2 - 2, 777, true), z(x.size());
    for (auto _ : state) {
        mp_div_s(z.data(), x.data(), y.data());
        benchmark::DoNotOptimize(z.data());
    }
    mp_set_width(32);
}
BENCHMARK(BM_mp_div_s)->Arg(24)->Arg(64)->Arg(256);

void BM_native_mul_24(benchmark::State &state) {
    int32_t x = (1 << 10) + 345, y = -((1 << 10) + 777), z = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(x);
        z = x * y;
        if (z < -(1 << 23) || z >= (1 << 23))
            state.SkipWithError("overflow");
        benchmark::DoNotOptimize(z);
    }
}
BENCHMARK(BM_native_mul_24);

void BM_native_mul_64(benchmark::State &state) {
    int64_t x = (INT64_C(1) << 30) + 345, y = -((INT64_C(1) << 30) + 777), z = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(x);
        if (__builtin_mul_overflow(x, y, &z))
            state.SkipWithError("overflow");
        benchmark::DoNotOptimize(z);
    }
}
BENCHMARK(BM_native_mul_64);

// Floor division, as the fixed-width division rounds.
template <typename T>
T floor_div(T a, T b) {
    T q = a / b;
    if (a % b != 0 && (a < 0) != (b < 0))
        --q;
    return q;
}

void BM_native_div_24(benchmark::State &state) {
    int32_t x = (1 << 22) + 12345, y = -((1 << 10) + 777);
    for (auto _ : state) {
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(floor_div(x, y));
    }
}
BENCHMARK(BM_native_div_24);

void BM_native_div_64(benchmark::State &state) {
    int64_t x = (INT64_C(1) << 62) + 12345, y = -((INT64_C(1) << 30) + 777);
    for (auto _ : state) {
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(floor_div(x, y));
    }
}
BENCHMARK(BM_native_div_64);

void BM_gmp_mul_256(benchmark::State &state) {
    mpz_t x, y, z;
    mpz_inits(x, y, z, nullptr);
    set_mpz(x, 126, 345, false);
    set_mpz(y, 126, 777, true);
    for (auto _ : state) {
        mpz_mul(z, x, y);
        benchmark::DoNotOptimize(z);
    }
    mpz_clears(x, y, z, nullptr);
}
BENCHMARK(BM_gmp_mul_256);

void BM_gmp_div_256(benchmark::State &state) {
    mpz_t x, y, z;
    mpz_inits(x, y, z, nullptr);
    set_mpz(x, 254, 12345, false);
    set_mpz(y, 126, 777, true);
    for (auto _ : state) {
        mpz_fdiv_q(z, x, y);
        benchmark::DoNotOptimize(z);
    }
    mpz_clears(x, y, z, nullptr);
}
BENCHMARK(BM_gmp_div_256);

} // namespace

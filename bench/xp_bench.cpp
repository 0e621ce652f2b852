// SPDX-License-Identifier: MIT

// Digit-array arithmetic, with GMP's low-level functions on the same values
// for scale. Lengths are in digits (bytes); the fixed-width integers use 3 to
// 16, so those are the sizes that matter.
#include <lexspot/xp.hpp>

#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <gmp.h>

namespace {

using lexspot::xp_divide;
using lexspot::xp_parse;
using lexspot::xp_plus;
using lexspot::xp_render;
using lexspot::xp_shift_right;
using lexspot::xp_times;

std::vector<unsigned char> random_digits(int32_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<unsigned char> d(static_cast<size_t>(n));
    for (unsigned char &c : d)
        c = static_cast<unsigned char>(rng());
    d.back() |= 1; // full significant length
    return d;
}

void BM_xp_plus(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    auto x = random_digits(n, 1), y = random_digits(n, 2);
    std::vector<unsigned char> z(static_cast<size_t>(n));
    for (auto _ : state) {
        benchmark::DoNotOptimize(xp_plus(n, z.data(), x.data(), y.data(), 0));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_xp_plus)->Arg(4)->Arg(16)->Arg(64);

// GMP's operands are whole limbs: n digits round up to (n + 7) / 8 limbs,
// the value zero-extended.
std::vector<mp_limb_t> limbs_of(const std::vector<unsigned char> &d) {
    std::vector<mp_limb_t> l((d.size() + 7) / 8);
    std::memcpy(l.data(), d.data(), d.size());
    return l;
}

void BM_gmp_mpn_add_n(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    const auto a = limbs_of(random_digits(n, 1)), b = limbs_of(random_digits(n, 2));
    std::vector<mp_limb_t> s(a.size());
    const auto limbs = static_cast<mp_size_t>(a.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(mpn_add_n(s.data(), a.data(), b.data(), limbs));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_gmp_mpn_add_n)->Arg(4)->Arg(16)->Arg(64);

void BM_xp_times(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    auto x = random_digits(n, 1), y = random_digits(n, 2);
    std::vector<unsigned char> z(static_cast<size_t>(2 * n));
    for (auto _ : state) {
        std::memset(z.data(), 0, z.size());
        benchmark::DoNotOptimize(xp_times(z.data(), n, x.data(), n, y.data()));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_xp_times)->Arg(4)->Arg(16)->Arg(64);

void BM_gmp_mpn_mul(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    const mp_size_t limbs = (n + 7) / 8;
    auto x = random_digits(static_cast<int32_t>(limbs * 8), 1);
    auto y = random_digits(static_cast<int32_t>(limbs * 8), 2);
    std::vector<mp_limb_t> a(static_cast<size_t>(limbs)), b(static_cast<size_t>(limbs)),
        p(static_cast<size_t>(2 * limbs));
    std::memcpy(a.data(), x.data(), x.size());
    std::memcpy(b.data(), y.data(), y.size());
    for (auto _ : state) {
        mpn_mul_n(p.data(), a.data(), b.data(), limbs);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_gmp_mpn_mul)->Arg(4)->Arg(16)->Arg(64);

// Divides a 2n-digit value by an n-digit one, as the fixed-width division of
// a double-width product would.
void BM_xp_divide(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    auto x = random_digits(2 * n, 3), y = random_digits(n, 4);
    std::vector<unsigned char> q(static_cast<size_t>(2 * n)), r(static_cast<size_t>(n)),
        work(static_cast<size_t>(3 * n + 2));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            xp_divide(2 * n, q.data(), x.data(), n, y.data(), r.data(), work.data()));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_xp_divide)->Arg(2)->Arg(4)->Arg(16)->Arg(64);

void BM_gmp_mpn_tdiv_qr(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    const mp_size_t limbs = (n + 7) / 8;
    auto x = random_digits(static_cast<int32_t>(2 * limbs * 8), 3);
    auto y = random_digits(static_cast<int32_t>(limbs * 8), 4);
    std::vector<mp_limb_t> a(static_cast<size_t>(2 * limbs)), d(static_cast<size_t>(limbs)),
        q(static_cast<size_t>(limbs + 1)), r(static_cast<size_t>(limbs));
    std::memcpy(a.data(), x.data(), x.size());
    std::memcpy(d.data(), y.data(), y.size());
    for (auto _ : state) {
        mpn_tdiv_qr(q.data(), r.data(), 0, a.data(), 2 * limbs, d.data(), limbs);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_gmp_mpn_tdiv_qr)->Arg(2)->Arg(4)->Arg(16)->Arg(64);

void BM_xp_render_base10(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    const auto x = random_digits(n, 5);
    std::vector<unsigned char> t(static_cast<size_t>(n));
    char buf[200];
    for (auto _ : state) {
        std::memcpy(t.data(), x.data(), t.size());
        benchmark::DoNotOptimize(xp_render(buf, sizeof buf, 10, n, t.data()));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_xp_render_base10)->Arg(3)->Arg(16)->Arg(64);

// mpn_get_str writes digit values (0 to 9), not characters, and like
// xp_render it consumes its operand, so each round starts from a copy.
void BM_gmp_mpn_get_str(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    const auto x = limbs_of(random_digits(n, 5));
    std::vector<mp_limb_t> t(x.size());
    unsigned char buf[200];
    for (auto _ : state) {
        std::memcpy(t.data(), x.data(), x.size() * sizeof(mp_limb_t));
        benchmark::DoNotOptimize(mpn_get_str(buf, 10, t.data(), static_cast<mp_size_t>(t.size())));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_gmp_mpn_get_str)->Arg(3)->Arg(16)->Arg(64);

void BM_xp_parse_base10(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    auto x = random_digits(n, 6);
    char text[200];
    xp_render(text, sizeof text, 10, n, x.data());
    std::vector<unsigned char> z(static_cast<size_t>(n));
    for (auto _ : state) {
        std::memset(z.data(), 0, z.size());
        benchmark::DoNotOptimize(xp_parse(n, z.data(), text, 10, nullptr));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_xp_parse_base10)->Arg(3)->Arg(16)->Arg(64);

// The same numerals as BM_xp_parse_base10, given to mpn_set_str as digit
// values.
void BM_gmp_mpn_set_str(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    auto x = random_digits(n, 6);
    char text[200];
    xp_render(text, sizeof text, 10, n, x.data());
    std::vector<unsigned char> digits;
    for (const char *c = text; *c != '\0'; ++c)
        digits.push_back(static_cast<unsigned char>(*c - '0'));
    std::vector<mp_limb_t> z((static_cast<size_t>(n) + 7) / 8 + 2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mpn_set_str(z.data(), digits.data(), digits.size(), 10));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_gmp_mpn_set_str)->Arg(3)->Arg(16)->Arg(64);

void BM_xp_shift_right(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    auto x = random_digits(n, 7);
    std::vector<unsigned char> z(static_cast<size_t>(n));
    for (auto _ : state) {
        xp_shift_right(n, z.data(), n, x.data(), 13, 1);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_xp_shift_right)->Arg(4)->Arg(16)->Arg(64);

} // namespace

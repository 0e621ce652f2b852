// SPDX-License-Identifier: MIT

// Runs the digit-array primitives on operands chosen by the input, in every
// permitted aliasing, and checks each result and each carry, borrow or
// remainder against GMP. Parse and render round trips cover every base from
// 2 to 36 with leading white space, either letter case and a stopping
// character, and a render into a buffer one byte short must raise.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "gmp_model.hpp"
#include <lexspot/assert.hpp>
#include <lexspot/xp.hpp>

using namespace lexspot;
using namespace lexspot::fuzz;

namespace {

#define FAIL(...) lexspot::fuzz::fail("xp_fuzz", __VA_ARGS__)

constexpr int32_t max_len = 40;

// n digits, each array its own heap block so that a write past its end is seen.
Digits operand(Input &in, int32_t n) {
    Digits d(static_cast<size_t>(n), 0);
    switch (in.below(6)) {
    case 0: // zero
        break;
    case 1: // all ones
        std::fill(d.begin(), d.end(), 0xff);
        break;
    case 2: // a lone digit somewhere
        d[static_cast<size_t>(in.below(n))] = static_cast<unsigned char>(in.byte());
        break;
    default:
        for (unsigned char &c : d)
            c = static_cast<unsigned char>(in.byte());
        break;
    }
    return d;
}

int32_t length(Input &in) {
    return 1 + in.below(max_len);
}

int sign(long v) {
    return (v > 0) - (v < 0);
}

void expect(const char *op, const Digits &got, const Digits &want, const std::string &operands) {
    if (got != want)
        FAIL("%s of %s gave %s, expected %s", op, operands.c_str(), hex(got).c_str(),
             hex(want).c_str());
}

void expect_word(const char *op, uint64_t got, uint64_t want, const std::string &operands) {
    if (got != want)
        FAIL("%s of %s returned %llu, expected %llu", op, operands.c_str(),
             static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
}

// The two-operand forms, z = x op y, with z distinct, z == x or z == y.
void additive(Input &in) {
    const int32_t n = length(in);
    Digits x = operand(in, n), y = operand(in, n);
    const int32_t carry = in.below(2);
    const bool minus = in.below(2);
    const int alias = in.below(3);
    const Big bx(x.data(), n), by(y.data(), n);
    Big e;
    if (minus) {
        mpz_sub(e, bx, by);
        mpz_sub_ui(e, e, static_cast<unsigned long>(carry));
    } else {
        mpz_add(e, bx, by);
        mpz_add_ui(e, e, static_cast<unsigned long>(carry));
    }
    const std::string what =
        hex(x) + (minus ? " - " : " + ") + hex(y) + " c" + std::to_string(carry);
    Digits z(static_cast<size_t>(n), 0xa5);
    unsigned char *zp = alias == 0 ? z.data() : alias == 1 ? x.data() : y.data();
    const int32_t out = minus ? xp_minus(n, zp, x.data(), y.data(), carry)
                              : xp_plus(n, zp, x.data(), y.data(), carry);
    const Digits got(zp, zp + n);
    expect(minus ? "xp_minus" : "xp_plus", got, digits_of(e, n), what);
    const bool beyond = minus ? mpz_sgn(e.v) < 0 : mpz_cmp(e, power_of_two(8 * uint64_t(n))) >= 0;
    expect_word(minus ? "xp_minus" : "xp_plus", static_cast<uint64_t>(out), beyond, what);
}

// The one-digit forms and the negation, in place or not.
void single_digit(Input &in) {
    const int32_t n = length(in);
    Digits x = operand(in, n);
    const int op = in.below(5);
    uint32_t y = static_cast<uint32_t>(in.byte());
    if (op == 4 && y == 0)
        y = 1 + static_cast<uint32_t>(in.below(255));
    if (op == 2)
        y &= 1; // the carry in
    const bool in_place = in.below(2);
    const Big bx(x.data(), n);
    const std::string what = hex(x) + " with " + std::to_string(y);
    Digits z(static_cast<size_t>(n), 0x5a);
    unsigned char *zp = in_place ? x.data() : z.data();
    Big e;
    uint64_t want = 0, got = 0;
    const char *name = "";
    const Big limit = power_of_two(8 * uint64_t(n));
    switch (op) {
    case 0:
        name = "xp_plus_digit";
        mpz_add_ui(e, bx, y);
        want = mpz_cmp(e, limit) >= 0;
        got = static_cast<uint64_t>(xp_plus_digit(n, zp, x.data(), static_cast<int32_t>(y)));
        break;
    case 1:
        name = "xp_minus_digit";
        mpz_sub_ui(e, bx, y);
        want = mpz_sgn(e.v) < 0;
        got = static_cast<uint64_t>(xp_minus_digit(n, zp, x.data(), static_cast<int32_t>(y)));
        break;
    case 2:
        name = "xp_negate";
        mpz_sub(e, limit, bx); // the complement: 256^n - 1 - x, plus the carry
        mpz_sub_ui(e, e, 1);
        mpz_add_ui(e, e, y);
        want = mpz_cmp(e, limit) >= 0;
        got = static_cast<uint64_t>(xp_negate(n, zp, x.data(), static_cast<int32_t>(y)));
        break;
    case 3:
        name = "xp_times_digit";
        mpz_mul_ui(e, bx, y);
        want = above(e, n);
        got = xp_times_digit(n, zp, x.data(), y);
        break;
    default:
        name = "xp_divide_digit";
        want = mpz_fdiv_q_ui(e, bx, y);
        got = xp_divide_digit(n, zp, x.data(), y);
        break;
    }
    expect(name, Digits(zp, zp + n), digits_of(e, n), what);
    expect_word(name, got, want, what);
}

void compare(Input &in) {
    const int32_t n = length(in);
    const Digits x = operand(in, n);
    const Digits y = in.below(4) == 0 ? x : operand(in, n);
    const int got = sign(xp_compare(n, x.data(), y.data()));
    const int want = sign(mpz_cmp(Big(x.data(), n), Big(y.data(), n)));
    if (got != want)
        FAIL("xp_compare of %s and %s has sign %d", hex(x).c_str(), hex(y).c_str(), got);
    const Big bx(x.data(), n);
    const int32_t sig =
        mpz_sgn(bx.v) == 0 ? 1 : static_cast<int32_t>((mpz_sizeinbase(bx, 2) + 7) / 8);
    if (xp_significant_length(n, x.data()) != sig)
        FAIL("xp_significant_length of %s", hex(x).c_str());
    if (xp_to_uint(n, x.data()) != mpz_get_ui(Big(x.data(), n < 8 ? n : 8)))
        FAIL("xp_to_uint of %s", hex(x).c_str());
    const uint64_t u = in.u64() >> in.below(64);
    Digits z(static_cast<size_t>(n), 0x77);
    const uint64_t left = xp_from_uint(n, z.data(), u);
    Big bu;
    mpz_import(bu, 1, -1, sizeof u, 0, 0, &u);
    expect("xp_from_uint", z, digits_of(bu, n), std::to_string(u));
    expect_word("xp_from_uint", left, n >= 8 ? 0 : u >> (8 * n), std::to_string(u));
}

void times(Input &in) {
    const int32_t n = length(in), m = length(in);
    const Digits x = operand(in, n), y = operand(in, m);
    Digits z = in.below(3) == 0 ? operand(in, n + m) : Digits(static_cast<size_t>(n + m), 0);
    Big e(z.data(), n + m), p;
    mpz_mul(p, Big(x.data(), n), Big(y.data(), m));
    mpz_add(e, e, p);
    const std::string what = hex(z) + " + " + hex(x) + " * " + hex(y);
    const int32_t out = xp_times(z.data(), n, x.data(), m, y.data());
    expect("xp_times", z, digits_of(e, n + m), what);
    if ((out != 0) != (mpz_cmp(e, power_of_two(8 * uint64_t(n + m))) >= 0))
        FAIL("xp_times of %s returned %d", what.c_str(), out);
}

void divide(Input &in) {
    const int32_t n = length(in);
    const int alias = in.below(3); // 1: q is x's array, 2: r is
    const int32_t m = alias == 2 ? n : length(in);
    Digits x = operand(in, n);
    const Digits y = in.below(10) == 0 ? Digits(static_cast<size_t>(m), 0) : operand(in, m);
    Digits q(static_cast<size_t>(n), 0x3c), r(static_cast<size_t>(m), 0xc3);
    Digits work(static_cast<size_t>(n + m + 2), 0);
    const Digits x0 = x, q0 = q, r0 = r;
    unsigned char *qp = alias == 1 ? x.data() : q.data();
    unsigned char *rp = alias == 2 ? x.data() : r.data();
    const std::string what = hex(x) + " / " + hex(y);
    const int32_t out = xp_divide(n, qp, x.data(), m, y.data(), rp, work.data());
    const Big bx(x0.data(), n), by(y.data(), m);
    if (mpz_sgn(by.v) == 0) {
        if (out != 0 || Digits(qp, qp + n) != (alias == 1 ? x0 : q0) ||
            Digits(rp, rp + m) != (alias == 2 ? x0 : r0))
            FAIL("xp_divide of %s by zero returned %d or wrote its results", what.c_str(), out);
        return;
    }
    Big eq, er;
    mpz_tdiv_qr(eq, er, bx, by);
    if (out != 1)
        FAIL("xp_divide of %s returned %d", what.c_str(), out);
    expect("xp_divide quotient", Digits(qp, qp + n), digits_of(eq, n), what);
    expect("xp_divide remainder", Digits(rp, rp + m), digits_of(er, m), what);
}

void parse(Input &in) {
    const int32_t n = in.below(8) == 0 ? 0 : length(in);
    const int32_t base = 2 + in.below(35);
    const std::string s = digit_string(in, base, in.below(4) == 0 ? 200 : 30);
    Digits z = n > 0 && in.below(3) == 0 ? operand(in, n) : Digits(static_cast<size_t>(n), 0);
    const Digits z0 = z;
    const Parsed e = parse_model(n, Big(z.data(), n), s, base);
    char *end = nullptr;
    const int32_t out = xp_parse(n, z.data(), s.c_str(), base, &end);
    const std::string what = "\"" + printable(s) + "\" base " + std::to_string(base) + " onto " +
                             std::to_string(n) + " digits " + hex(z0);
    if (end != s.c_str() + e.stop)
        FAIL("xp_parse of %s stopped at %td, expected %zu", what.c_str(), end - s.c_str(), e.stop);
    expect_word("xp_parse", static_cast<uint64_t>(out), e.carry, what);
    expect("xp_parse", z, n > 0 ? digits_of(e.value, n) : z0, what);
}

void render(Input &in) {
    const int32_t n = length(in);
    const int32_t base = 2 + in.below(35);
    Digits x = operand(in, n);
    const Big bx(x.data(), n);
    std::vector<char> model(mpz_sizeinbase(bx, base) + 2);
    mpz_get_str(model.data(), -base, bx);
    const std::string want(model.data());
    const std::string what = hex(x) + " base " + std::to_string(base);
    // Exactly the room needed, so a byte written past it is seen.
    std::vector<char> buf(want.size() + 1, '#');
    const bool short_buffer = in.below(6) == 0;
    const int32_t size = static_cast<int32_t>(buf.size()) - (short_buffer ? 1 : 0);
    char *out = nullptr;
    const Exception *e = raised_by([&] { out = xp_render(buf.data(), size, base, n, x.data()); });
    if (short_buffer) {
        if (e != &assertion_failed)
            FAIL("xp_render of %s into %d bytes did not raise", what.c_str(), size);
        return;
    }
    if (e != nullptr || out != buf.data() || std::string(buf.data()) != want)
        FAIL("xp_render of %s gave \"%s\", expected \"%s\"", what.c_str(), buf.data(),
             want.c_str());
    if (x != Digits(static_cast<size_t>(n), 0))
        FAIL("xp_render of %s left %s", what.c_str(), hex(x).c_str());
    // And back.
    Digits z(static_cast<size_t>(n), 0);
    if (xp_parse(n, z.data(), buf.data(), base, nullptr) != 0 || z != digits_of(bx, n))
        FAIL("xp_parse of the rendering of %s", what.c_str());
}

void shift(Input &in) {
    const bool in_place = in.below(2);
    const int32_t m = length(in);
    const int32_t n = in_place ? m : length(in);
    const int32_t s = in.below(8 * max_len + 24);
    const int32_t fill = in.below(2);
    const bool left = in.below(2);
    Digits x = operand(in, m);
    const Big bx(x.data(), m);
    Big e;
    if (left) {
        mpz_mul_2exp(e, bx, static_cast<mp_bitcnt_t>(s));
        if (fill)
            mpz_add(e, e, power_of_two(uint64_t(s)));
        if (fill)
            mpz_sub_ui(e, e, 1);
    } else {
        // x with ones above its m digits, far enough to cover every result bit.
        Big ext = bx;
        if (fill) {
            const uint64_t top = 8 * uint64_t(n) + uint64_t(s) + 8;
            mpz_add(ext, ext, power_of_two(top));
            mpz_sub(ext, ext, power_of_two(8 * uint64_t(m)));
        }
        mpz_fdiv_q_2exp(e, ext, static_cast<mp_bitcnt_t>(s));
    }
    Digits z(static_cast<size_t>(n), 0x99);
    unsigned char *zp = in_place ? x.data() : z.data();
    const std::string what = hex(x) + (left ? " << " : " >> ") + std::to_string(s) + " fill " +
                             std::to_string(fill) + " into " + std::to_string(n);
    if (left)
        xp_shift_left(n, zp, m, x.data(), s, fill);
    else
        xp_shift_right(n, zp, m, x.data(), s, fill);
    expect(left ? "xp_shift_left" : "xp_shift_right", Digits(zp, zp + n), digits_of(e, n), what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    for (int step = 0; in.more() && step < 64; ++step) {
        switch (in.below(9)) {
        case 0: additive(in); break;
        case 1: single_digit(in); break;
        case 2: compare(in); break;
        case 3: times(in); break;
        case 4: divide(in); break;
        case 5: parse(in); break;
        case 6: render(in); break;
        default: shift(in); break;
        }
    }
    return 0;
}

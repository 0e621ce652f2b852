// SPDX-License-Identifier: MIT

// Runs the fixed-width integer operations at a width from 2 to 300 bits
// chosen by the input, on operands and immediates chosen by it, with the
// destination separate from or the same as an operand. Every result is
// checked against GMP reduced to the width, and every raise is caught through
// the library's handler scope: `mp_overflow` and `mp_divide_by_zero` must be
// raised exactly when the model says, with the destination holding the low
// bits of the exact result after an overflow and its former contents after a
// division by zero.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "gmp_model.hpp"
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>

using namespace lexspot;
using namespace lexspot::fuzz;

namespace {

#define FAIL(...) lexspot::fuzz::fail("mp_fuzz", __VA_ARGS__)

int32_t bytes_for(int32_t w) {
    return (w - 1) / 8 + 1;
}

// The model of one value: its bits as an unsigned number below 2^w.
struct Width {
    int32_t w;
    Big modulus, half; // 2^w, 2^(w - 1)

    explicit Width(int32_t bits)
        : w(bits), modulus(power_of_two(uint64_t(bits))), half(power_of_two(uint64_t(bits) - 1)) {}

    Big u(const Digits &x) const { return Big(x.data(), static_cast<int32_t>(x.size())); }
    Big s(const Digits &x) const {
        Big v = u(x);
        if (mpz_cmp(v, half) >= 0)
            mpz_sub(v, v, modulus);
        return v;
    }
    // r modulo 2^w, in the layout of width w.
    Digits reduce(const Big &r) const { return reduce_to(r, w); }
    static Digits reduce_to(const Big &r, int32_t m) {
        Big low;
        mpz_fdiv_r_2exp(low, r, static_cast<mp_bitcnt_t>(m));
        return digits_of(low, bytes_for(m));
    }
    bool fits_u(const Big &r) const { return mpz_sgn(r.v) >= 0 && mpz_cmp(r, modulus) < 0; }
    bool fits_s(const Big &r) const {
        Big neg;
        mpz_neg(neg, half);
        return mpz_cmp(r, neg) >= 0 && mpz_cmp(r, half) < 0;
    }
    // An immediate's fit, for the tests that only apply below some width.
    bool fits_s(int64_t v) const { return fits_s(Big(static_cast<long>(v))); }
};

Big big_u64(uint64_t u) {
    Big r;
    mpz_import(r, 1, -1, sizeof u, 0, 0, &u);
    return r;
}

Big big_i64(int64_t v) {
    if (v >= 0)
        return big_u64(static_cast<uint64_t>(v));
    Big r = big_u64(static_cast<uint64_t>(-(v + 1)));
    mpz_add_ui(r, r, 1);
    mpz_neg(r, r);
    return r;
}

// floor(a / b) and the remainder these operations use: |a| mod |b|, taken
// from |b| when the signs differ and it is not zero.
Big floor_div(const Big &a, const Big &b) {
    Big q;
    mpz_fdiv_q(q, a, b);
    return q;
}

Big signed_mod(const Big &a, const Big &b) {
    Big ma, mb, r;
    mpz_abs(ma, a);
    mpz_abs(mb, b);
    mpz_tdiv_r(r, ma, mb);
    if ((mpz_sgn(a.v) < 0) != (mpz_sgn(b.v) < 0) && mpz_sgn(r.v) != 0)
        mpz_sub(r, mb, r);
    return r;
}

// What an operation must do: raise `raise` (null for nothing), and leave the
// destination as `z` (its former contents after a division by zero).
struct Expected {
    const Exception *raise = nullptr;
    Digits z;
};

class Run {
  public:
    explicit Run(Input &in) : in_(in), m_(2 + in.below(299)) {
        mp_set_width(m_.w);
        if (mp_bits != m_.w || mp_bytes != bytes_for(m_.w))
            FAIL("mp_set_width(%d) left %d bits in %d bytes", m_.w, mp_bits, mp_bytes);
        b_ = mp_bytes;
    }

    void go() {
        for (step_ = 0; in_.more() && step_ < 48; ++step_)
            one_step();
    }

  private:
    Digits value() {
        Digits d(static_cast<size_t>(b_), 0);
        switch (in_.below(7)) {
        case 0: break;                                      // zero
        case 1: std::fill(d.begin(), d.end(), 0xff); break; // -1
        case 2: d[0] = 1; break;
        case 3: { // the most negative value, or the largest
            Big v = m_.half;
            if (in_.below(2))
                mpz_sub_ui(v, v, 1);
            d = m_.reduce(v);
            break;
        }
        default:
            for (unsigned char &c : d)
                c = static_cast<unsigned char>(in_.byte());
            break;
        }
        return m_.reduce(Big(d.data(), b_));
    }

    // An immediate: small (one digit), near the width's edges, or anything.
    uint64_t uimm() {
        switch (in_.below(4)) {
        case 0: return static_cast<uint64_t>(in_.byte());
        case 1: return static_cast<uint64_t>(in_.below(600));
        case 2: {
            const int k = in_.below(65);
            uint64_t edge = k == 64 ? 0 : uint64_t{1} << k;
            return edge + static_cast<uint64_t>(in_.below(3)) - 1;
        }
        default: return in_.u64();
        }
    }
    int64_t simm() {
        const uint64_t u = uimm();
        return in_.below(2) ? static_cast<int64_t>(u) : static_cast<int64_t>(0 - u);
    }

    std::string show(const Digits &d) const { return hex(d); }

    // Runs `op` and compares what it raised and left in `z` with `e`.
    template <typename F>
    void check(const char *name, const std::string &operands, Digits &z, const Expected &e, F op) {
        const Exception *got = raised_by(op);
        if (got != e.raise)
            FAIL("width %d: %s of %s raised %s, expected %s", m_.w, name, operands.c_str(),
                 got == nullptr ? "nothing" : got->reason,
                 e.raise == nullptr ? "nothing" : e.raise->reason);
        if (z != e.z)
            FAIL("width %d: %s of %s left %s, expected %s", m_.w, name, operands.c_str(),
                 show(z).c_str(), show(e.z).c_str());
    }

    void binary() {
        Digits x = value(), y = value();
        const int alias = in_.below(3);
        const int op = in_.below(17);
        const Big ux = m_.u(x), uy = m_.u(y), sx = m_.s(x), sy = m_.s(y);
        Digits zs(static_cast<size_t>(b_), 0x5a);
        Digits &z = alias == 1 ? x : alias == 2 ? y : zs;
        Expected e;
        Big r;
        bool over = false;
        const char *name = "";
        MpBinaryFn fn = nullptr;
        const Digits before = z;
        bool by_zero = false;
        switch (op) {
        case 0:
            name = "mp_add_u";
            fn = mp_add_u;
            mpz_add(r, ux, uy);
            over = !m_.fits_u(r);
            break;
        case 1:
            name = "mp_sub_u";
            fn = mp_sub_u;
            mpz_sub(r, ux, uy);
            over = !m_.fits_u(r);
            break;
        case 2:
            name = "mp_add_s";
            fn = mp_add_s;
            mpz_add(r, sx, sy);
            over = !m_.fits_s(r);
            break;
        case 3:
            name = "mp_sub_s";
            fn = mp_sub_s;
            mpz_sub(r, sx, sy);
            over = !m_.fits_s(r);
            break;
        case 4:
            name = "mp_mul_u";
            fn = mp_mul_u;
            mpz_mul(r, ux, uy);
            over = !m_.fits_u(r);
            break;
        case 5:
            name = "mp_mul_s";
            fn = mp_mul_s;
            mpz_mul(r, sx, sy);
            over = !m_.fits_s(r);
            break;
        case 6:
            name = "mp_div_u";
            fn = mp_div_u;
            by_zero = mpz_sgn(uy.v) == 0;
            if (!by_zero)
                mpz_tdiv_q(r, ux, uy);
            break;
        case 7:
            name = "mp_mod_u";
            fn = mp_mod_u;
            by_zero = mpz_sgn(uy.v) == 0;
            if (!by_zero)
                mpz_tdiv_r(r, ux, uy);
            break;
        case 8:
            name = "mp_div_s";
            fn = mp_div_s;
            by_zero = mpz_sgn(sy.v) == 0;
            if (!by_zero) {
                r = floor_div(sx, sy);
                over = !m_.fits_s(r);
            }
            break;
        case 9:
            name = "mp_mod_s";
            fn = mp_mod_s;
            by_zero = mpz_sgn(sy.v) == 0;
            if (!by_zero) {
                r = signed_mod(sx, sy);
                // Only the most negative value by -1, whose quotient does not fit.
                over = !m_.fits_s(floor_div(sx, sy));
            }
            break;
        case 10:
            name = "mp_bit_and";
            fn = mp_bit_and;
            mpz_and(r, ux, uy);
            break;
        case 11:
            name = "mp_bit_or";
            fn = mp_bit_or;
            mpz_ior(r, ux, uy);
            break;
        case 12:
            name = "mp_bit_xor";
            fn = mp_bit_xor;
            mpz_xor(r, ux, uy);
            break;
        case 13: { // comparisons
            const int cu = mp_compare_u(x.data(), y.data());
            const int cs = mp_compare_s(x.data(), y.data());
            auto sign = [](long v) { return (v > 0) - (v < 0); };
            if (sign(cu) != sign(mpz_cmp(ux, uy)) || sign(cs) != sign(mpz_cmp(sx, sy)))
                FAIL("width %d: comparisons of %s and %s gave %d and %d", m_.w, show(x).c_str(),
                     show(y).c_str(), cu, cs);
            return;
        }
        default: { // the double-width products; z may not be an operand
            const bool is_signed = op == 15;
            Digits wide(static_cast<size_t>(bytes_for(2 * m_.w)), 0xa5);
            mpz_mul(r, is_signed ? sx : ux, is_signed ? sy : uy);
            Expected ew{nullptr, Width::reduce_to(r, 2 * m_.w)};
            check(is_signed ? "mp_mul_wide_s" : "mp_mul_wide_u", show(x) + ", " + show(y), wide, ew,
                  [&] {
                      if (is_signed)
                          mp_mul_wide_s(wide.data(), x.data(), y.data());
                      else
                          mp_mul_wide_u(wide.data(), x.data(), y.data());
                  });
            return;
        }
        }
        e.raise = by_zero ? &mp_divide_by_zero : over ? &mp_overflow : nullptr;
        e.z = by_zero ? before : m_.reduce(r);
        const std::string operands = show(x) + ", " + show(y) + " into " +
                                     (alias == 0   ? "z"
                                      : alias == 1 ? "x"
                                                   : "y");
        check(name, operands, z, e, [&] {
            if (fn(z.data(), x.data(), y.data()) != z.data())
                FAIL("%s returned another value", name);
        });
    }

    void unary() {
        Digits x = value();
        const bool in_place = in_.below(2);
        Digits zs(static_cast<size_t>(b_), 0x3c);
        Digits &z = in_place ? x : zs;
        const Big ux = m_.u(x), sx = m_.s(x);
        const std::string operands = show(x) + (in_place ? " in place" : "");
        Expected e;
        Big r;
        const int32_t s = in_.below(m_.w + 12);
        switch (in_.below(5)) {
        case 0:
            mpz_neg(r, sx);
            e = {m_.fits_s(r) ? nullptr : &mp_overflow, m_.reduce(r)};
            check("mp_negate", operands, z, e, [&] { mp_negate(z.data(), x.data()); });
            return;
        case 1:
            mpz_com(r, ux);
            e = {nullptr, m_.reduce(r)};
            check("mp_bit_not", operands, z, e, [&] { mp_bit_not(z.data(), x.data()); });
            return;
        case 2:
            mpz_mul_2exp(r, ux, static_cast<mp_bitcnt_t>(s));
            e = {nullptr, m_.reduce(r)};
            check("mp_shift_left", operands + " by " + std::to_string(s), z, e,
                  [&] { mp_shift_left(z.data(), x.data(), s); });
            return;
        case 3:
            mpz_fdiv_q_2exp(r, ux, static_cast<mp_bitcnt_t>(s));
            e = {nullptr, m_.reduce(r)};
            check("mp_shift_right", operands + " by " + std::to_string(s), z, e,
                  [&] { mp_shift_right(z.data(), x.data(), s); });
            return;
        default:
            mpz_fdiv_q_2exp(r, sx, static_cast<mp_bitcnt_t>(s));
            e = {nullptr, m_.reduce(r)};
            check("mp_shift_right_arith", operands + " by " + std::to_string(s), z, e,
                  [&] { mp_shift_right_arith(z.data(), x.data(), s); });
            return;
        }
    }

    void unsigned_immediate() {
        Digits x = value();
        const bool in_place = in_.below(2);
        Digits zs(static_cast<size_t>(b_), 0x3c);
        Digits &z = in_place ? x : zs;
        const Digits before = z;
        const uint64_t y = uimm();
        const Big ux = m_.u(x), by = big_u64(y);
        Big t; // y reduced to the width
        mpz_fdiv_r_2exp(t, by, static_cast<mp_bitcnt_t>(m_.w));
        const bool beyond = !m_.fits_u(by);
        // One-digit immediates are used whole; larger ones reduced first.
        const bool digit = y <= 255;
        const Big &d = digit ? by : t;
        const std::string operands = show(x) + ", " + std::to_string(y);
        Expected e;
        Big r;
        const int op = in_.below(9);
        switch (op) {
        case 0:
        case 1: {
            if (op == 0)
                mpz_add(r, ux, t);
            else
                mpz_sub(r, ux, t);
            e = {!m_.fits_u(r) || beyond ? &mp_overflow : nullptr, m_.reduce(r)};
            check(op == 0 ? "mp_add_ui" : "mp_sub_ui", operands, z, e, [&] {
                if (op == 0)
                    mp_add_ui(z.data(), x.data(), y);
                else
                    mp_sub_ui(z.data(), x.data(), y);
            });
            return;
        }
        case 2:
            mpz_mul(r, ux, t);
            e = {!m_.fits_u(r) || beyond ? &mp_overflow : nullptr, m_.reduce(r)};
            check("mp_mul_ui", operands, z, e, [&] { mp_mul_ui(z.data(), x.data(), y); });
            return;
        case 3:
        case 4: {
            const bool div = op == 3;
            if (mpz_sgn(d.v) == 0) {
                e = {&mp_divide_by_zero, before};
            } else {
                if (div)
                    mpz_tdiv_q(r, ux, d);
                else
                    mpz_tdiv_r(r, ux, d);
                e = {beyond ? &mp_overflow : nullptr, div ? m_.reduce(r) : before};
            }
            uint64_t rem = 0;
            check(div ? "mp_div_ui" : "mp_mod_ui", operands, z, e, [&] {
                if (div)
                    mp_div_ui(z.data(), x.data(), y);
                else
                    rem = mp_mod_ui(x.data(), y);
            });
            if (!div && e.raise == nullptr && big_u64(rem) != r)
                FAIL("width %d: mp_mod_ui of %s returned %llu", m_.w, operands.c_str(),
                     static_cast<unsigned long long>(rem));
            return;
        }
        case 5:
        case 6:
        case 7: {
            if (op == 5)
                mpz_and(r, ux, t);
            else if (op == 6)
                mpz_ior(r, ux, t);
            else
                mpz_xor(r, ux, t);
            e = {nullptr, m_.reduce(r)};
            check("mp_bit_*_i", operands, z, e, [&] {
                if (op == 5)
                    mp_bit_and_i(z.data(), x.data(), y);
                else if (op == 6)
                    mp_bit_or_i(z.data(), x.data(), y);
                else
                    mp_bit_xor_i(z.data(), x.data(), y);
            });
            return;
        }
        default: {
            const int c = mp_compare_ui(x.data(), y);
            if ((c > 0) - (c < 0) != (mpz_cmp(ux, by) > 0) - (mpz_cmp(ux, by) < 0))
                FAIL("width %d: mp_compare_ui of %s gave %d", m_.w, operands.c_str(), c);
            return;
        }
        }
    }

    void signed_immediate() {
        Digits x = value();
        const bool in_place = in_.below(2);
        Digits zs(static_cast<size_t>(b_), 0x3c);
        Digits &z = in_place ? x : zs;
        const Digits before = z;
        const int64_t y = simm();
        const Big sx = m_.s(x), ux = m_.u(x), by = big_i64(y);
        const bool digit = y >= -255 && y <= 255;
        // A one-digit immediate is used whole and its own range tested only
        // below 8 bits; a larger one is reduced to the width and tested below
        // 64 bits.
        const bool beyond = digit ? m_.w <= 7 && !m_.fits_s(by) : m_.w < 64 && !m_.fits_s(by);
        const Big t = digit ? by : m_.s(m_.reduce(by));
        const std::string operands = show(x) + ", " + std::to_string(y);
        Expected e;
        Big r;
        const int op = in_.below(6);
        switch (op) {
        case 0:
        case 1: {
            const bool add = op == 0;
            if (add)
                mpz_add(r, sx, t);
            else
                mpz_sub(r, sx, t);
            // The exact sum or difference must fit, also for a one-digit y
            // beyond the width's own range, which could wrap past the sign.
            const bool over = !m_.fits_s(r);
            e = {over || beyond ? &mp_overflow : nullptr, m_.reduce(r)};
            check(add ? "mp_add_si" : "mp_sub_si", operands, z, e, [&] {
                if (add)
                    mp_add_si(z.data(), x.data(), y);
                else
                    mp_sub_si(z.data(), x.data(), y);
            });
            return;
        }
        case 2:
            mpz_mul(r, sx, t);
            e = {!m_.fits_s(r) || beyond ? &mp_overflow : nullptr, m_.reduce(r)};
            check("mp_mul_si", operands, z, e, [&] { mp_mul_si(z.data(), x.data(), y); });
            return;
        case 3:
        case 4: {
            const bool div = op == 3;
            if (mpz_sgn(t.v) == 0) {
                e = {&mp_divide_by_zero, before};
            } else {
                r = div ? floor_div(sx, t) : signed_mod(sx, t);
                const bool over = !m_.fits_s(floor_div(sx, t));
                e = {over || beyond ? &mp_overflow : nullptr, div ? m_.reduce(r) : before};
            }
            int64_t rem = 0;
            check(div ? "mp_div_si" : "mp_mod_si", operands, z, e, [&] {
                if (div)
                    mp_div_si(z.data(), x.data(), y);
                else
                    rem = mp_mod_si(x.data(), y);
            });
            if (!div && e.raise == nullptr && big_i64(rem) != r)
                FAIL("width %d: mp_mod_si of %s returned %lld", m_.w, operands.c_str(),
                     static_cast<long long>(rem));
            return;
        }
        default: {
            const int c = mp_compare_si(x.data(), y);
            if ((c > 0) - (c < 0) != (mpz_cmp(sx, by) > 0) - (mpz_cmp(sx, by) < 0))
                FAIL("width %d: mp_compare_si of %s gave %d", m_.w, operands.c_str(), c);
            (void)ux;
            return;
        }
        }
    }

    void conversions() {
        Digits z(static_cast<size_t>(b_), 0x11);
        switch (in_.below(5)) {
        case 0: {
            const uint64_t u = uimm();
            const Big bu = big_u64(u);
            Expected e{m_.fits_u(bu) ? nullptr : &mp_overflow, m_.reduce(bu)};
            check("mp_from_unsigned", std::to_string(u), z, e,
                  [&] { mp_from_unsigned(z.data(), u); });
            MpValue made = nullptr;
            const Exception *got = raised_by([&] { made = mp_create(u); });
            if (got != e.raise || (made != nullptr && Digits(made, made + b_) != e.z))
                FAIL("width %d: mp_create(%llu)", m_.w, static_cast<unsigned long long>(u));
            if (made != nullptr)
                mem_release(made);
            return;
        }
        case 1: {
            const int64_t v = simm();
            const Big bv = big_i64(v);
            Expected e{m_.w < 64 && !m_.fits_s(bv) ? &mp_overflow : nullptr, m_.reduce(bv)};
            check("mp_from_signed", std::to_string(v), z, e, [&] { mp_from_signed(z.data(), v); });
            return;
        }
        case 2: {
            Digits x = value();
            const Big sx = m_.s(x), ux = m_.u(x);
            int64_t sv = 0;
            uint64_t uv = 0;
            const bool s_fits =
                mpz_cmp(sx, big_i64(INT64_MIN)) >= 0 && mpz_cmp(sx, big_i64(INT64_MAX)) <= 0;
            const bool u_fits = mpz_cmp(ux, power_of_two(64)) < 0;
            const Exception *gs = raised_by([&] { sv = mp_to_signed(x.data()); });
            const Exception *gu = raised_by([&] { uv = mp_to_unsigned(x.data()); });
            if (gs != (s_fits ? nullptr : &mp_overflow) || (s_fits && big_i64(sv) != sx) ||
                gu != (u_fits ? nullptr : &mp_overflow) || (u_fits && big_u64(uv) != ux))
                FAIL("width %d: mp_to_signed or mp_to_unsigned of %s raised %s and %s, returned "
                     "%lld and %llu",
                     m_.w, show(x).c_str(), gs ? gs->reason : "nothing",
                     gu ? gu->reason : "nothing", static_cast<long long>(sv),
                     static_cast<unsigned long long>(uv));
            return;
        }
        case 3: { // to another width, as signed or unsigned
            Digits x = value();
            const int32_t to = 2 + in_.below(299);
            const bool is_signed = in_.below(2);
            Digits out(static_cast<size_t>(bytes_for(to)), 0x77);
            const Big v = is_signed ? m_.s(x) : m_.u(x);
            const Width target(to);
            const bool fits = is_signed ? target.fits_s(v) : target.fits_u(v);
            Expected e{fits ? nullptr : &mp_overflow, Width::reduce_to(v, to)};
            check(is_signed ? "mp_resize_s" : "mp_resize_u", show(x) + " to " + std::to_string(to),
                  out, e, [&] {
                      if (is_signed)
                          mp_resize_s(to, out.data(), x.data());
                      else
                          mp_resize_u(to, out.data(), x.data());
                  });
            return;
        }
        default: strings(); return;
        }
    }

    void strings() {
        const int32_t base = 2 + in_.below(35);
        if (in_.below(2)) {
            const std::string s = digit_string(in_, base, in_.below(4) == 0 ? 120 : 20);
            const Parsed p = parse_model(b_, Big(), s, base);
            Expected e{p.carry != 0 || !m_.fits_u(p.value) ? &mp_overflow : nullptr,
                       m_.reduce(p.value)};
            char *end = nullptr;
            Digits z(static_cast<size_t>(b_), 0x42);
            check("mp_parse", "\"" + printable(s) + "\" base " + std::to_string(base), z, e,
                  [&] { mp_parse(z.data(), s.c_str(), base, &end); });
            if (end != s.c_str() + p.stop)
                FAIL("width %d: mp_parse of \"%s\" stopped at %td", m_.w, printable(s).c_str(),
                     end - s.c_str());
            return;
        }
        Digits x = value();
        const Digits x0 = x;
        const Big ux = m_.u(x);
        std::vector<char> model(mpz_sizeinbase(ux, base) + 2);
        mpz_get_str(model.data(), -base, ux);
        const std::string want(model.data());
        // Into a new block, or a caller's buffer of exactly the room needed.
        char *mine = mp_render(nullptr, 0, base, x.data());
        std::string got(mine);
        mem_release(mine);
        std::vector<char> buf(want.size() + 1 < 2 ? 2 : want.size() + 1);
        mp_render(buf.data(), static_cast<int32_t>(buf.size()), base, x.data());
        if (got != want || std::string(buf.data()) != want || x != x0)
            FAIL("width %d: mp_render of %s in base %d gave \"%s\", expected \"%s\"", m_.w,
                 show(x0).c_str(), base, got.c_str(), want.c_str());
        // Through the formatter, signed and unsigned.
        char *u = fmt_alloc("%U", x.data(), static_cast<int>(base));
        char *s = fmt_alloc("%D", x.data(), static_cast<int>(base));
        const Big sx = m_.s(x);
        Big mag;
        mpz_abs(mag, sx);
        mpz_get_str(model.data(), -base, mag);
        const std::string want_s = (mpz_sgn(sx.v) < 0 ? "-" : "") + std::string(model.data());
        if (want != u || want_s != s)
            FAIL("width %d: %%U and %%D of %s in base %d gave \"%s\" and \"%s\"", m_.w,
                 show(x0).c_str(), base, u, s);
        mem_release(u);
        mem_release(s);
    }

    void one_step() {
        switch (in_.below(6)) {
        case 0:
        case 1: binary(); break;
        case 2: unary(); break;
        case 3: unsigned_immediate(); break;
        case 4: signed_immediate(); break;
        default: conversions(); break;
        }
    }

    Input &in_;
    Width m_;
    int32_t b_ = 0;
    int step_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool installed = [] {
        fmt_install('U', mp_format_u);
        fmt_install('D', mp_format_s);
        return true;
    }();
    (void)installed;
    Input in{data, size};
    Run(in).go();
    return 0;
}

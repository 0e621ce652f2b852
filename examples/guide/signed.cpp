// SPDX-License-Identifier: MIT
// Signed fixed-width values: reading a signed numeral, which mp_parse does
// not do (it reads no sign), and how the signed quotient and remainder pair
// up for each combination of signs.
#include <cctype>
#include <cstdint>

#include <lexspot/assert.hpp>
#include <lexspot/except.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mp.hpp>

using namespace lexspot;

// z = the decimal numeral at the start of `str` (white space, an optional
// sign, digits) as a signed value of the current width. Raises mp_overflow
// when the number is outside the signed range, z then holding its low
// mp_bits bits, as the library's operations do.
//
// mp_parse reads the magnitude m, unsigned. A negative number is made as
// ~(m - 1), which is -m in two's complement and raises nothing: mp_negate(z,
// z) would raise mp_overflow for m = 2^(mp_bits-1), whose negation is the
// most negative value and fits, and would turn a larger m, which reads as
// negative, into a positive value without raising.
MpValue parse_signed(MpValue z, const char *str) {
    while (std::isspace(static_cast<unsigned char>(*str)))
        ++str;
    const bool negative = *str == '-';
    if (*str == '-' || *str == '+')
        ++str;
    mp_parse(z, str, 10, nullptr); // raises mp_overflow for m >= 2^mp_bits
    if (!negative) {
        if (mp_compare_si(z, 0) < 0) // the sign bit is set: m >= 2^(mp_bits-1)
            assert_raise(mp_overflow);
    } else if (mp_compare_ui(z, 0) != 0) {
        mp_sub_ui(z, z, 1); // m >= 1: cannot overflow
        mp_bit_not(z, z);
        if (mp_compare_si(z, 0) >= 0) // not negative: m > 2^(mp_bits-1)
            assert_raise(mp_overflow);
    }
    return z;
}

// Prints `numeral` as parse_signed reads it, or the exception it raises.
void show_parse(const char *numeral) {
    unsigned char value[1]; // an 8-bit value
    EXCEPTION_TRY {
        parse_signed(value, numeral);
        fmt_stdout("  %-5s %D\n", numeral, value, 10);
    }
    EXCEPTION_HANDLER(frame) {
        if (frame.exception != &mp_overflow)
            exception_reraise(frame);
        fmt_stdout("  %-5s %s, low bits %D\n", numeral, frame.exception->reason, value, 10);
    }
    EXCEPTION_END
}

// Prints mp_negate of the value `magnitude`, or the exception it raises.
void show_negate(const char *magnitude) {
    unsigned char value[1];
    mp_parse(value, magnitude, 10, nullptr);
    EXCEPTION_TRY {
        mp_negate(value, value);
        fmt_stdout("  -%-4s %D, no exception\n", magnitude, value, 10);
    }
    EXCEPTION_HANDLER(frame) {
        if (frame.exception != &mp_overflow)
            exception_reraise(frame);
        fmt_stdout("  -%-4s %s\n", magnitude, frame.exception->reason);
    }
    EXCEPTION_END
}

int main() {
    fmt_install('D', mp_format_s);
    mp_set_width(8);

    fmt_stdout("parse_signed at 8 bits:\n");
    for (const char *numeral : {"127", "-128", "+5", "-0", "128", "-129", "-200"})
        show_parse(numeral);
    fmt_stdout("mp_parse, then mp_negate:\n");
    show_negate("128");
    show_negate("200");

    // Floor division, a remainder that is never negative: x = q * y + r
    // when y > 0, x = q * y - r when y < 0. The right-hand side is
    // computed from q and r.
    fmt_stdout("q = x / y, r = x mod y:\n");
    const int64_t pairs[][2] = {{7, 2}, {-7, 2}, {7, -2}, {-7, -2}, {-6, -2}};
    for (const auto &pair : pairs) {
        unsigned char x[1], y[1], q[1], r[1], check[1];
        mp_from_signed(x, pair[0]);
        mp_from_signed(y, pair[1]);
        mp_div_s(q, x, y);
        mp_mod_s(r, x, y);
        mp_mul_s(check, q, y);
        const bool negative_divisor = mp_compare_si(y, 0) < 0;
        if (negative_divisor)
            mp_sub_s(check, check, r);
        else
            mp_add_s(check, check, r);
        fmt_stdout("  %2D / %2D: q = %2D, r = %D; q * y %c r = %2D\n", x, 10, y, 10, q, 10, r, 10,
                   negative_divisor ? '-' : '+', check, 10);
    }
}

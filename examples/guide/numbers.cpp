// SPDX-License-Identifier: MIT
// Digit arrays and fixed-width integers. The digit arrays are the caller's
// bytes of any length, with primitives that report carries and raise
// nothing; the fixed-width integers hold every value at one process-wide
// width and raise on overflow.
#include <cstdint>
#include <cstdio>

#include <lexspot/except.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>
#include <lexspot/xp.hpp>

using namespace lexspot;

int main() {
    fmt_install('U', mp_format_u);
    fmt_install('D', mp_format_s);

    // 40! in a 20-byte digit array: each step multiplies by a digit and
    // returns what did not fit, which the caller decides about.
    unsigned char factorial[20] = {1};
    uint32_t spill = 0;
    int32_t n = 1;
    while (spill == 0 && n < 40)
        spill = xp_times_digit(20, factorial, factorial, static_cast<uint32_t>(++n));
    char numeral[64];
    xp_render(numeral, sizeof numeral, 10, 20, factorial); // consumes the array: it is 0 after
    std::printf("%d! = %s (%s)\n", n, numeral, spill == 0 ? "fits 160 bits" : "spilled");

    // The same with 128-bit values: the first product that does not fit
    // raises mp_overflow, leaving the low 128 bits in the destination.
    mp_set_width(128);
    MpValue f = mp_create(1);
    n = 1;
    EXCEPTION_TRY {
        for (;; ++n)
            mp_mul_ui(f, f, static_cast<uint64_t>(n) + 1);
    }
    EXCEPTION_HANDLER(frame) {
        if (frame.exception != &mp_overflow)
            exception_reraise(frame);
        fmt_stdout("%d! is the last factorial of 128 bits; %d! mod 2^128 = %U\n", n, n + 1, f, 10);
    }
    EXCEPTION_END

    // A value has no width of its own: its bytes are read at the width of
    // the moment. Carry it across a change with mp_resize_u or mp_resize_s.
    mp_set_width(8);
    MpValue small = mp_create(200);
    MpValue wide = static_cast<MpValue>(mem_allocate(mp_width_bytes(64)));
    mp_resize_u(64, wide, small); // 200 as a 64-bit value, made before the change
    fmt_stdout("8 bits: %U unsigned, %D signed\n", small, 10, small, 10);
    mp_set_width(64);
    mp_mul_ui(wide, wide, 1000000);
    fmt_stdout("64 bits: %U, %U in base 16\n", wide, 10, wide, 16);

    mem_release(wide);
    mem_release(small);
    mem_release(f);
}

// SPDX-License-Identifier: MIT
// Process-wide state: the width of the fixed-width integers and the table
// of conversions belong to the whole program. Code that needs its own
// settings changes them for its own work and puts back what it found, on
// every way out, raises included.
#include <cstdint>

#include <lexspot/except.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>

using namespace lexspot;

// Writes `count` powers of `base` as 24-bit values with %U, then puts the
// width and the %U conversion back. Values of the caller's width stay
// meaningful after the call.
void print_powers(uint64_t base, int count) {
    int32_t width = mp_set_width(24);
    ConversionFn previous = fmt_install('U', mp_format_u);
    ExceptionCleanup restore([=] {
        fmt_install('U', previous);
        mp_set_width(width);
    });
    unsigned char value[3]; // a 24-bit value: mp_bytes bytes
    mp_from_unsigned(value, 1);
    for (int i = 0; i < count; ++i) {
        fmt_stdout(" %U", value, 10);
        mp_mul_ui(value, value, base); // raises mp_overflow past 2^24 - 1
    }
    fmt_stdout("\n");
}

int main() {
    fmt_install('D', mp_format_s);
    MpValue mine = mp_create(0); // 32 bits, the width at start
    mp_sub_si(mine, mine, 100000);

    fmt_stdout("powers of 10:");
    print_powers(10, 6);
    EXCEPTION_TRY {
        fmt_stdout("powers of 1000:");
        print_powers(1000, 4);
    }
    EXCEPTION_HANDLER(frame) {
        fmt_stdout(" ... %s\n", frame.exception->reason);
    }
    EXCEPTION_END
    fmt_stdout("width %d, %%U installed: %s, my value: %D\n", mp_bits,
               fmt_install('U', nullptr) == nullptr ? "no" : "yes", mine, 10);
    mem_release(mine);
}

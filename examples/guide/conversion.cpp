// SPDX-License-Identifier: MIT
// A conversion of the program's own: %M prints an amount of money kept in
// cents. It takes its argument from the engine's argument list and prints
// through fmt_pad_number, so width, precision and the flags -, +, space and
// 0 apply to it as to %d.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include <lexspot/except.hpp>
#include <lexspot/fmt.hpp>

using namespace lexspot;

struct Money {
    int64_t cents;
};

// Takes one argument, a const Money *: a pointer, because a class object
// passed through `...` is not portable, and the routine must take exactly
// the arguments its directive promises, in their order.
void format_money(int, va_list &args, PutFn put, void *closure, unsigned char flags[256], int width,
                  int precision) {
    const auto *money = va_arg(args, const Money *);
    int64_t cents = money->cents;
    uint64_t magnitude =
        cents < 0 ? 0 - static_cast<uint64_t>(cents) : static_cast<uint64_t>(cents);
    char numeral[32];
    int len = std::snprintf(numeral, sizeof numeral, "%s%" PRIu64 ".%02" PRIu64,
                            cents < 0 ? "-" : "", magnitude / 100, magnitude % 100);
    // The emitter puts the sign first and fills after it with the 0 flag.
    fmt_pad_number(numeral, len, put, closure, flags, width, precision);
}

int main() {
    // fmt_install returns what was there before: null for a free character.
    ConversionFn before = fmt_install('M', format_money);
    fmt_stdout("was M free: %s\n", before == nullptr ? "yes" : "no");

    Money prices[] = {{1999}, {-250}, {5}};
    for (const Money &price : prices)
        fmt_stdout("[%M] [%10M] [%-10M] [%+010M]\n", &price, &price, &price, &price);

    // Into a bounded buffer: a result that does not fit raises
    // format_overflow, after the characters that fit.
    char buf[8];
    EXCEPTION_TRY {
        fmt_buffer(buf, sizeof buf, "%M", &prices[0]);
        fmt_stdout("fits: %s\n", buf);
        fmt_buffer(buf, sizeof buf, "total %M", &prices[0]);
    }
    EXCEPTION_HANDLER(frame) {
        fmt_stdout("%s after \"%.8s\"\n", frame.exception->reason, buf);
    }
    EXCEPTION_END

    // Removing it again: a directive with no routine is a failed assertion.
    fmt_install('M', nullptr);
    EXCEPTION_TRY {
        fmt_stdout("%M\n", &prices[0]);
    }
    EXCEPTION_HANDLER(frame) {
        fmt_stdout("%%M without a routine: %s\n", frame.exception->reason);
    }
    EXCEPTION_END
}

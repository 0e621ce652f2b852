// SPDX-License-Identifier: MIT

// The format engine, its sinks and emitters, and the standard conversions.
//
// `fmt_conversions` is indexed by the conversion character as an unsigned
// byte; entry 0 is always null, so a format that ends inside a directive
// finds no routine. The engine owns one flag array per call and clears it
// for every directive; nothing else of a call outlives it.
#include "fmt.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "assert.hpp"
#include "mem.hpp"

namespace lexspot {

const Exception format_overflow = {"Formatting Overflow"};

const char *fmt_flag_chars = "-+ 0";

namespace {

void fmt_conv_char(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                   int width, int precision);
void fmt_conv_int(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                  int width, int precision);
void fmt_conv_unsigned(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                       int width, int precision);
void fmt_conv_octal(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                    int width, int precision);
void fmt_conv_hex(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                  int width, int precision);
void fmt_conv_pointer(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                      int width, int precision);
void fmt_conv_string(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                     int width, int precision);
void fmt_conv_float(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                    int width, int precision);

// The standard conversions, built at compile time so that the table is
// complete before any static initializer of a client can install a routine.
constexpr std::array<ConversionFn, 256> standard_conversions() {
    std::array<ConversionFn, 256> table{};
    table['c'] = fmt_conv_char;
    table['d'] = fmt_conv_int;
    table['e'] = fmt_conv_float;
    table['f'] = fmt_conv_float;
    table['g'] = fmt_conv_float;
    table['o'] = fmt_conv_octal;
    table['p'] = fmt_conv_pointer;
    table['s'] = fmt_conv_string;
    table['u'] = fmt_conv_unsigned;
    table['x'] = fmt_conv_hex;
    return table;
}

// NOLINTNEXTLINE(cert-err58-cpp): constinit, built at compile time; nothing runs before main
constinit std::array<ConversionFn, 256> fmt_conversions = standard_conversions();

// "%." then the tens and units digits of the precision and the conversion
// character, rewritten by every floating conversion.
char fmt_float_template[6] = "%.dd?";

// Indexes of the flag counts that the emitters read.
constexpr int flag_minus = '-';
constexpr int flag_plus = '+';
constexpr int flag_space = ' ';
constexpr int flag_zero = '0';

// Sends `count` copies of `c`; nothing when count <= 0.
inline void put_repeated(int c, int64_t count, PutFn put, void *closure) {
    for (int64_t i = 0; i < count; ++i)
        put(c, closure);
}

inline void put_bytes(const char *str, int len, PutFn put, void *closure) {
    for (int i = 0; i < len; ++i)
        put(static_cast<unsigned char>(str[i]), closure);
}

inline bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Accumulates the decimal digits at `p` into `value`, refusing anything
// beyond INT_MAX; returns the byte after the last digit.
const unsigned char *parse_digits(const unsigned char *p, int &value) {
    value = 0;
    for (; is_digit(*p); ++p) {
        int d = *p - '0';
        assert_require(value <= (INT_MAX - d) / 10);
        value = value * 10 + d;
    }
    return p;
}

// Takes a `*` width or precision from the arguments; INT_MIN would read as
// "unspecified", so it is refused.
int take_star(va_list &args) {
    int value = va_arg(args, int);
    assert_require(value != INT_MIN);
    return value;
}

// The field width as a nonnegative count: unspecified gives 0, and a negative
// width turns on left-justification.
inline int normalise_width(unsigned char flags[256], int width) {
    if (width == fmt_unspecified)
        return 0;
    if (width < 0) {
        flags[flag_minus] = 1;
        return -width;
    }
    return width;
}

} // namespace

// ---- The engine

void fmt_vemit(PutFn put, void *closure, const char *format, va_list args) {
    assert_require(put != nullptr);
    assert_require(format != nullptr);
    // `args` is a pointer here on most ABIs; routines get a list of our own
    // by reference, so what one takes is gone for the next.
    va_list ap;
    va_copy(ap, args);
    ExceptionCleanup end_args([&] { va_end(ap); });
    unsigned char flags[256];

    const auto *p = reinterpret_cast<const unsigned char *>(format);
    for (;;) {
        while (*p != '\0' && *p != '%')
            put(*p++, closure);
        if (*p == '\0')
            return;
        if (p[1] == '%') {
            put('%', closure);
            p += 2;
            continue;
        }
        ++p;

        std::memset(flags, 0, sizeof flags);
        if (const char *flag_chars = fmt_flag_chars; flag_chars != nullptr) {
            for (; *p != '\0' && std::strchr(flag_chars, *p) != nullptr; ++p) {
                assert_require(flags[*p] < 255);
                ++flags[*p];
            }
        }

        int width = fmt_unspecified;
        if (*p == '*') {
            width = take_star(ap);
            ++p;
        } else if (is_digit(*p)) {
            p = parse_digits(p, width);
        }

        int precision = fmt_unspecified;
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                precision = take_star(ap);
                ++p;
            } else if (is_digit(*p)) {
                p = parse_digits(p, precision);
            }
        }

        // flags, width and precision are settled; p is at the conversion.
        const unsigned char code = *p;
        ConversionFn routine = fmt_conversions[code];
        assert_require(routine != nullptr);
        routine(code, ap, put, closure, flags, width, precision);
        ++p;
    }
}

void fmt_emit(PutFn put, void *closure, const char *format, ...) {
    va_list args;
    va_start(args, format);
    ExceptionCleanup end_args([&] { va_end(args); });
    fmt_vemit(put, closure, format, args);
}

void fmt_stdout(const char *format, ...) {
    va_list args;
    va_start(args, format);
    ExceptionCleanup end_args([&] { va_end(args); });
    fmt_vemit(fmt_put_stream, stdout, format, args);
}

void fmt_stream(FILE *stream, const char *format, ...) {
    va_list args;
    va_start(args, format);
    ExceptionCleanup end_args([&] { va_end(args); });
    fmt_vemit(fmt_put_stream, stream, format, args);
}

int fmt_vbuffer(char *buf, int size, const char *format, va_list args) {
    assert_require(buf != nullptr);
    assert_require(size > 0);
    assert_require(format != nullptr);
    FmtBuffer buffer = {buf, buf, size};
    return fmt_vappend(&buffer, format, args);
}

int fmt_buffer(char *buf, int size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    ExceptionCleanup end_args([&] { va_end(args); });
    return fmt_vbuffer(buf, size, format, args);
}

int fmt_vappend(FmtBuffer *buffer, const char *format, va_list args) {
    assert_require(buffer != nullptr);
    assert_require(buffer->buf != nullptr);
    assert_require(buffer->size > 0);
    assert_require(buffer->next >= buffer->buf && buffer->next - buffer->buf <= buffer->size);
    assert_require(format != nullptr);
    fmt_vemit(fmt_put_bounded, buffer, format, args);
    fmt_put_bounded('\0', buffer);
    // Back onto the NUL, which the next call writes over.
    --buffer->next;
    return static_cast<int>(buffer->next - buffer->buf);
}

int fmt_append(FmtBuffer *buffer, const char *format, ...) {
    va_list args;
    va_start(args, format);
    ExceptionCleanup end_args([&] { va_end(args); });
    return fmt_vappend(buffer, format, args);
}

char *fmt_valloc(const char *format, va_list args) {
    assert_require(format != nullptr);
    constexpr int first_size = 256;
    FmtBuffer buffer;
    buffer.buf = static_cast<char *>(mem_allocate(first_size));
    buffer.next = buffer.buf;
    buffer.size = first_size;
    // Until it is returned the string is ours, and whatever leaves early
    // frees it. A raise is a C++ throw on its way to its frame, so one
    // catch-all serves raises and a conversion routine's own C++ exceptions
    // alike. A failed final resize leaves the block as it was, to be freed
    // here too.
    try {
        fmt_vemit(fmt_put_growing, &buffer, format, args);
        fmt_put_growing('\0', &buffer);
        return static_cast<char *>(mem_reallocate(buffer.buf, buffer.next - buffer.buf));
    } catch (...) {
        mem_release(buffer.buf);
        throw;
    }
}

char *fmt_alloc(const char *format, ...) {
    assert_require(format != nullptr);
    va_list args;
    va_start(args, format);
    ExceptionCleanup end_args([&] { va_end(args); });
    return fmt_valloc(format, args);
}

// ---- The sinks

int fmt_put_stream(int c, void *closure) {
    return std::putc(c, static_cast<FILE *>(closure));
}

int fmt_put_bounded(int c, void *closure) {
    auto *buffer = static_cast<FmtBuffer *>(closure);
    if (buffer->next - buffer->buf >= buffer->size)
        assert_raise(format_overflow);
    *buffer->next++ = static_cast<char>(c);
    return c;
}

int fmt_put_growing(int c, void *closure) {
    auto *buffer = static_cast<FmtBuffer *>(closure);
    if (buffer->next - buffer->buf >= buffer->size) {
        // The size is an int: past INT_MAX / 2 the block grows only to
        // INT_MAX, and a full block of INT_MAX bytes cannot grow at all.
        int old_size = buffer->size;
        if (old_size == INT_MAX)
            assert_raise(allocation_failed);
        int new_size = old_size <= INT_MAX / 2 ? 2 * old_size : INT_MAX;
        buffer->buf = static_cast<char *>(mem_reallocate(buffer->buf, new_size));
        buffer->next = buffer->buf + old_size;
        buffer->size = new_size;
    }
    *buffer->next++ = static_cast<char>(c);
    return c;
}

// ---- The table of conversions

ConversionFn fmt_install(int code, ConversionFn routine) {
    assert_require(code >= 1 && code <= 255);
    const auto slot = static_cast<size_t>(code);
    ConversionFn previous = fmt_conversions[slot];
    fmt_conversions[slot] = routine;
    return previous;
}

// ---- The emitters

void fmt_pad_string(const char *str, int len, PutFn put, void *closure, unsigned char flags[256],
                    int width, int precision) {
    assert_require(str != nullptr);
    assert_require(len >= 0);
    assert_require(flags != nullptr);
    int w = normalise_width(flags, width);
    if (precision >= 0) {
        flags[flag_zero] = 0;
        if (precision < len)
            len = precision;
    }
    int pad = w - len;
    if (flags[flag_minus] == 0)
        put_repeated(' ', pad, put, closure);
    put_bytes(str, len, put, closure);
    if (flags[flag_minus] != 0)
        put_repeated(' ', pad, put, closure);
}

void fmt_pad_number(const char *str, int len, PutFn put, void *closure, unsigned char flags[256],
                    int width, int precision) {
    assert_require(str != nullptr);
    assert_require(len >= 0);
    assert_require(flags != nullptr);
    int w = normalise_width(flags, width);
    if (precision >= 0)
        flags[flag_zero] = 0;

    int sign = 0;
    if (len > 0 && (str[0] == '-' || str[0] == '+')) {
        sign = static_cast<unsigned char>(str[0]);
        ++str;
        --len;
    } else if (flags[flag_plus] != 0) {
        sign = '+';
    } else if (flags[flag_space] != 0) {
        sign = ' ';
    }

    // n: the minimum digit count. The lone digit "0" at precision 0 prints
    // no digit at all, as the field width assumes. Widths are counted in 64
    // bits: a precision of INT_MAX plus a sign does not fit an int.
    int n = precision >= 0 ? precision : 1;
    if (n == 0 && len == 1 && str[0] == '0')
        len = 0;
    int64_t total = (n > len ? n : len) + int64_t{sign != 0};
    int64_t fill = w - total;

    if (flags[flag_minus] != 0) {
        if (sign != 0)
            put(sign, closure);
    } else if (flags[flag_zero] != 0) {
        if (sign != 0)
            put(sign, closure);
        put_repeated('0', fill, put, closure);
    } else {
        put_repeated(' ', fill, put, closure);
        if (sign != 0)
            put(sign, closure);
    }
    put_repeated('0', n - len, put, closure);
    put_bytes(str, len, put, closure);
    if (flags[flag_minus] != 0)
        put_repeated(' ', fill, put, closure);
}

// ---- The standard conversions

namespace {

// Writes the digits of `value` in `base` backwards from `end`; returns the
// first digit. Zero is the single digit "0".
char *write_digits(uint64_t value, unsigned base, char *end) {
    static const char digits[] = "0123456789abcdef";
    char *p = end;
    do {
        *--p = digits[value % base];
        value /= base;
    } while (value != 0);
    return p;
}

// Numeral of an unsigned value through `fmt_pad_number`.
void emit_unsigned(uint64_t value, unsigned base, PutFn put, void *closure,
                   unsigned char flags[256], int width, int precision) {
    char buf[64];
    char *end = buf + sizeof buf;
    char *start = write_digits(value, base, end);
    fmt_pad_number(start, static_cast<int>(end - start), put, closure, flags, width, precision);
}

// Pads by itself: only the width and the `-` flag apply to a character.
void fmt_conv_char(int, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                   int width, int) {
    int w = normalise_width(flags, width);
    int c = static_cast<unsigned char>(va_arg(args, int));
    if (flags[flag_minus] == 0)
        put_repeated(' ', w - 1, put, closure);
    put(c, closure);
    if (flags[flag_minus] != 0)
        put_repeated(' ', w - 1, put, closure);
}

void fmt_conv_int(int, va_list &args, PutFn put, void *closure, unsigned char flags[256], int width,
                  int precision) {
    int v = va_arg(args, int);
    // The magnitude as unsigned, so that INT_MIN has one.
    uint32_t magnitude = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    char buf[16];
    char *end = buf + sizeof buf;
    char *start = write_digits(magnitude, 10, end);
    if (v < 0)
        *--start = '-';
    fmt_pad_number(start, static_cast<int>(end - start), put, closure, flags, width, precision);
}

void fmt_conv_unsigned(int, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                       int width, int precision) {
    emit_unsigned(va_arg(args, unsigned int), 10, put, closure, flags, width, precision);
}

void fmt_conv_octal(int, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                    int width, int precision) {
    emit_unsigned(va_arg(args, unsigned int), 8, put, closure, flags, width, precision);
}

void fmt_conv_hex(int, va_list &args, PutFn put, void *closure, unsigned char flags[256], int width,
                  int precision) {
    emit_unsigned(va_arg(args, unsigned int), 16, put, closure, flags, width, precision);
}

// A precision has no effect, so the `0` flag still fills.
void fmt_conv_pointer(int, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                      int width, int) {
    auto value = reinterpret_cast<uintptr_t>(va_arg(args, void *));
    emit_unsigned(value, 16, put, closure, flags, width, fmt_unspecified);
}

void fmt_conv_string(int, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                     int width, int precision) {
    const char *str = va_arg(args, const char *);
    assert_require(str != nullptr);
    // A string too long for an int length is refused rather than cut short.
    const size_t length = std::strlen(str);
    assert_require(length <= INT_MAX);
    fmt_pad_string(str, static_cast<int>(length), put, closure, flags, width, precision);
}

// Whether sprintf reads a double for this conversion character.
inline bool is_floating_code(int code) {
    return code > 0 && code <= 255 && std::strchr("aAeEfFgG", code) != nullptr;
}

// sprintf shapes the text by the precision; the emitter then sees no
// precision, so it adds no zeros of its own and the `0` flag fills the field.
// The routine may be installed under any character, and the character goes
// into the sprintf format: one that reads no double is refused.
void fmt_conv_float(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                    int width, int precision) {
    assert_require(is_floating_code(code));
    int p = precision >= 0 ? precision : 6;
    if (code == 'g' && p == 0)
        p = 1;
    assert_require(p < 100);
    fmt_float_template[2] = static_cast<char>('0' + p / 10);
    fmt_float_template[3] = static_cast<char>('0' + p % 10);
    fmt_float_template[4] = static_cast<char>(code);
    double value = va_arg(args, double);
    // Zeros in front of inf or nan would make it read as a number.
    if (!std::isfinite(value))
        flags[flag_zero] = 0;
    // The longest text: -DBL_MAX in fixed point at precision 99, 410 characters.
    char buf[420];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(buf, sizeof buf, fmt_float_template, value);
#pragma GCC diagnostic pop
    fmt_pad_number(buf, static_cast<int>(std::strlen(buf)), put, closure, flags, width,
                   fmt_unspecified);
}

} // namespace

} // namespace lexspot

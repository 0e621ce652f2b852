#include "fmt.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "assert.hpp"
#include "mem.hpp"

namespace lexspot {
namespace {

// Runs `f` under a frame and returns what it raised (null when nothing).
template <typename F>
ExceptionFrame raised_by(F f) {
    ExceptionFrame seen{};
    EXCEPTION_TRY { f(); }
    EXCEPTION_HANDLER(frame) { seen = frame; }
    EXCEPTION_END
    return seen;
}

// A sink that appends to a std::string.
int put_string(int c, void *closure) {
    static_cast<std::string *>(closure)->push_back(static_cast<char>(c));
    return c;
}

constexpr int none = fmt_unspecified;

struct Flags {
    unsigned char counts[256] = {};
    explicit Flags(const char *set = "") {
        for (const char *p = set; *p != '\0'; ++p)
            ++counts[static_cast<unsigned char>(*p)];
    }
};

std::string pad_number(const char *str, const char *flags, int width, int precision) {
    std::string out;
    Flags f(flags);
    fmt_pad_number(str, static_cast<int>(std::strlen(str)), put_string, &out, f.counts, width,
                   precision);
    return out;
}

std::string pad_string(const char *str, const char *flags, int width, int precision) {
    std::string out;
    Flags f(flags);
    fmt_pad_string(str, static_cast<int>(std::strlen(str)), put_string, &out, f.counts, width,
                   precision);
    return out;
}

TEST(FmtPadTest, NumberFields) {
    struct Case {
        const char *str, *flags;
        int width, precision;
        const char *expected;
    };
    const Case cases[] = {
        {"42", "", none, none, "42"},
        {"42", "0", 5, none, "00042"},
        {"42", "-0", 5, none, "42   "},
        {"42", "0", 5, 3, "  042"},
        {"42", "", none, 5, "00042"},
        {"42", "+", none, none, "+42"},
        {"42", " ", none, none, " 42"},
        {"42", "+ ", none, none, "+42"},
        {"42", "", -5, none, "42   "},
        {"-42", "+", none, none, "-42"},
        {"+7", "", none, none, "+7"},
        {"-42", "0", 6, none, "-00042"},
        {"-42", "", 6, none, "   -42"},
        {"-42", "-", 6, 4, "-0042 "},
        {"0", "", none, 0, ""},
        {"0", "", 3, 0, "   "},
        {"0", "+", 3, 0, "  +"},
        {"0", "", none, 1, "0"},
        {"-0", "", none, 0, "-"},
        {"", "", 3, none, "  0"}, // an empty numeral still gets its minimum digit
        {"", "+", none, 0, "+"},
        {"7", "", 1, 1, "7"},
        {"7", "", 0, none, "7"},
        {"inf", "0", 5, none, "00inf"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.str) + " flags '" + c.flags + "' " + std::to_string(c.width) +
                     "." + std::to_string(c.precision));
        EXPECT_EQ(pad_number(c.str, c.flags, c.width, c.precision), c.expected);
    }
}

TEST(FmtPadTest, StringFields) {
    struct Case {
        const char *str, *flags;
        int width, precision;
        const char *expected;
    };
    const Case cases[] = {
        {"hello", "", none, none, "hello"},
        {"hello", "", none, 3, "hel"},
        {"hello", "", 5, 3, "  hel"},
        {"hello", "-", 5, 3, "hel  "},
        {"hello", "", -7, none, "hello  "},
        {"hello", "", 7, 0, "       "},
        {"hello", "", 3, none, "hello"},
        {"hello", "", none, -1, "hello"},
        {"hello", "+ 0", 7, none, "  hello"},
        {"", "", 2, none, "  "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.str) + " flags '" + c.flags + "' " + std::to_string(c.width) +
                     "." + std::to_string(c.precision));
        EXPECT_EQ(pad_string(c.str, c.flags, c.width, c.precision), c.expected);
    }
}

// The emitters tell the caller what they made of the field.
TEST(FmtPadTest, EmittersUpdateTheFlagArray) {
    for (auto emit : {fmt_pad_string, fmt_pad_number}) {
        std::string out;
        Flags f("0");
        emit("hello", 5, put_string, &out, f.counts, -7, 2);
        EXPECT_EQ(f.counts['-'], 1);
        EXPECT_EQ(f.counts['0'], 0);
        Flags g("00");
        emit("hello", 5, put_string, &out, g.counts, 7, none);
        EXPECT_EQ(g.counts['-'], 0);
        EXPECT_EQ(g.counts['0'], 2);
    }
}

// The length, not a NUL, bounds the text, and bytes above 127 pass as
// unsigned values.
TEST(FmtPadTest, TextNeedNotBeTerminated) {
    const char text[] = {'\xff', 'a', '\0', 'b'};
    std::vector<int> seen;
    auto record = [](int c, void *closure) {
        static_cast<std::vector<int> *>(closure)->push_back(c);
        return c;
    };
    Flags f;
    fmt_pad_string(text, 4, record, &seen, f.counts, none, none);
    fmt_pad_number(text, 3, record, &seen, f.counts, none, none);
    EXPECT_EQ(seen, (std::vector<int>{255, 'a', 0, 'b', 255, 'a', 0}));
}

TEST(FmtPadTest, PreconditionsRaiseAtFmt) {
    Flags f;
    std::string out;
    for (auto emit : {fmt_pad_string, fmt_pad_number}) {
        const std::function<void()> calls[] = {
            [&] { emit(nullptr, 0, put_string, &out, f.counts, none, none); },
            [&] { emit("a", -1, put_string, &out, f.counts, none, none); },
            [&] { emit("a", 1, put_string, &out, nullptr, none, none); },
        };
        int32_t previous_line = 0;
        for (const auto &call : calls) {
            ExceptionFrame frame = raised_by(call);
            EXPECT_EQ(frame.exception, &assertion_failed);
            EXPECT_STREQ(frame.file, "src/fmt.cpp");
            EXPECT_GT(frame.line, previous_line); // tested in the listed order
            previous_line = frame.line;
        }
    }
    EXPECT_EQ(out, "");
}


// Formats through a sink of our own, so that any output, NULs included, is
// seen whole; the library's sinks have tests of their own.
template <typename... Args>
std::string format(const char *format, Args... args) {
    std::string out;
    fmt_emit(put_string, &out, format, args...);
    return out;
}

// The standard conversions, each output beside its format.
TEST(FmtConversionTest, StandardConversions) {
    struct Case {
        std::string expected, actual;
    };
    void *address = reinterpret_cast<void *>(uintptr_t{0x1234});
    const Case cases[] = {
        {"A", format("%c", 65)},
        {"    A", format("%5c", 65)},
        {"A    ", format("%-5c", 65)},
        {"    A", format("%05c", 65)},
        {"A", format("%.0c", 65)},
        {"A", format("%c", 321)},
        {"A    ", format("%*c", -5, 65)},
        {"A", format("%+ c", 65)},
        {std::string(1, '\0') + "|", format("%c|", 0)},
        {"-2147483648", format("%d", INT_MIN)},
        {"0", format("%d", 0)},
        {"+0", format("%+d", 0)},
        {" 5", format("% d", 5)},
        {"+5", format("%+ d", 5)},
        {"  -42", format("%5d", -42)},
        {"-42  ", format("%-5d", -42)},
        {"-0042", format("%05d", -42)},
        {"-0042", format("%.4d", -42)},
        {"   -0042", format("%08.4d", -42)},
        {"", format("%.0d", 0)},
        {"  ", format("%2.0d", 0)},
        {"+", format("%+.0d", 0)},
        {"4294967295", format("%u", -1)},
        {"+5", format("%+u", 5u)},
        {"10", format("%o", 8u)},
        {"37777777777", format("%o", UINT_MAX)},
        {"ff", format("%x", 255u)},
        {"0", format("%x", 0u)},
        {"+ff", format("%+x", 255u)},
        {" ff", format("% x", 255u)},
        {"", format("%.0x", 0u)},
        {"0", format("%p", static_cast<void *>(nullptr))},
        {"1234", format("%p", address)},
        {"00001234", format("%08p", address)},
        {"1234", format("%.8p", address)},
        {"    1234", format("%8.2p", address)},
        {"ffffffffffffffff", format("%p", reinterpret_cast<void *>(UINTPTR_MAX))},
        {"hello", format("%s", "hello")},
        {"hel", format("%.3s", "hello")},
        {"hel    ", format("%-7.3s", "hello")},
        {"", format("%s", "")},
        {"3.141590", format("%f", 3.14159)},
        {"3.14", format("%.2f", 3.14159)},
        {"    -1.500", format("%10.3f", -1.5)},
        {"+1.000000", format("%+f", 1.0)},
        {"1.234500e+03", format("%e", 1234.5)},
        {"-00001.5", format("%08.3g", -1.5)},
        {"0001.500", format("%08.3f", 1.5)},
        {"0", format("%.0f", 0.0)},
        {"00000", format("%05.0f", 0.0)},
        {"2", format("%.0g", 1.5)},
        {"1e+01", format("%.0g", 12.0)},
        {"  inf", format("%5f", INFINITY)},
        {"-inf", format("%f", -INFINITY)},
        {"+nan", format("%+f", NAN)},
        {"0." + std::string(99, '0'), format("%.99f", 0.0)},
        {"-1.000000000e+308", format("%.9e", -1e308)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.actual, c.expected);
}

} // namespace
} // namespace lexspot

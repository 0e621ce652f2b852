// SPDX-License-Identifier: MIT

#include <lexspot/fmt.hpp>

#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client_exit.hpp"
#include "failing_alloc.hpp"
#include "fmt_model.hpp"
#include "test_support.hpp"
#include <lexspot/assert.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>
#include <lexspot/text.hpp>

namespace lexspot {
namespace {

// A test that leaves a block allocated fails.
[[maybe_unused]] const bool leak_check = failing_alloc::check_every_test_for_leaks();

// A sink that appends to a std::string.
int put_string(int c, void *closure) {
    static_cast<std::string *>(closure)->push_back(static_cast<char>(c));
    return c;
}

constexpr int none = fmt_unspecified;

struct Flags {
    unsigned char counts[256] = {};
    int count(char flag) const { return counts[static_cast<unsigned char>(flag)]; }
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
        {"+5", "0", 5, none, "+0005"}, // a client's own sign goes before the zeros
        {"+5", "", none, 3, "+005"},
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
        {"hello", "", none, none, "hello"},   {"hello", "", none, 3, "hel"},
        {"hello", "", 5, 3, "  hel"},         {"hello", "-", 5, 3, "hel  "},
        {"hello", "", -7, none, "hello  "},   {"hello", "", 7, 0, "       "},
        {"hello", "", 3, none, "hello"},      {"hello", "", none, -1, "hello"},
        {"hello", "+ 0", 7, none, "  hello"}, {"", "", 2, none, "  "},
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
        EXPECT_EQ(f.count('-'), 1);
        EXPECT_EQ(f.count('0'), 0);
        Flags g("00");
        emit("hello", 5, put_string, &out, g.counts, 7, none);
        EXPECT_EQ(g.count('-'), 0);
        EXPECT_EQ(g.count('0'), 2);
        // Width 0 is no request to left-justify.
        Flags h("0");
        emit("hello", 5, put_string, &out, h.counts, 0, none);
        EXPECT_EQ(h.count('-'), 0);
        EXPECT_EQ(h.count('0'), 1);
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

const Exception sink_full = {"Sink full"};

// The field arithmetic holds at the extremes: a precision of INT_MAX with a
// sign is one character wider than an int can count. The sink stops the
// (two-billion-digit) output after its first characters.
TEST(FmtPadTest, ExtremeFieldsDoNotOverflow) {
    struct Sink {
        std::string out;
        static int put(int c, void *closure) {
            auto *sink = static_cast<Sink *>(closure);
            if (sink->out.size() == 8)
                raise_exception(&sink_full, "sink", 1);
            sink->out.push_back(static_cast<char>(c));
            return c;
        }
    };
    struct Case {
        const char *flags;
        int width, precision;
        const char *expected;
    };
    const Case cases[] = {
        {"+", 5, INT_MAX, "+0000000"},        {"+", INT_MAX, INT_MAX, "+0000000"},
        {"+", -INT_MAX, INT_MAX, "+0000000"}, {"", INT_MAX, none, "        "},
        {"-+", -INT_MAX, none, "+7      "},
    };
    for (const Case &c : cases) {
        Sink sink;
        Flags f(c.flags);
        ExceptionFrame frame = raised_by(
            [&] { fmt_pad_number("7", 1, Sink::put, &sink, f.counts, c.width, c.precision); });
        EXPECT_EQ(frame.exception, &sink_full);
        EXPECT_EQ(sink.out, c.expected);
    }
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
        // Two hex digits per byte of a pointer, whatever its width.
        {std::string(2 * sizeof(void *), 'f'), format("%p", reinterpret_cast<void *>(UINTPTR_MAX))},
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
        // Zeros before inf or nan would read back as a number: spaces fill.
        {"     inf", format("%08f", INFINITY)},
        {"    -inf", format("%+08f", -INFINITY)},
        {"   +inf", format("%0+7.2e", INFINITY)},
        {"     nan", format("%08g", NAN)},
        {"-inf    ", format("%-08f", -INFINITY)},
        {"0." + std::string(99, '0'), format("%.99f", 0.0)},
        {"-1.000000000e+308", format("%.9e", -1e308)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.actual, c.expected);
}

// The table starts with the ten standard characters, served by eight routines
// (one for e, f and g), and nothing else.
TEST(FmtConversionTest, TableStartsWithTheStandardRoutines) {
    ConversionFn held[256] = {};
    for (int code = 1; code < 256; ++code) {
        held[code] = fmt_install(code, nullptr);
        fmt_install(code, held[code]);
    }
    std::string served;
    for (int code = 1; code < 256; ++code)
        if (held[code] != nullptr)
            served.push_back(static_cast<char>(code));
    EXPECT_EQ(served, "cdefgopsux");
    auto at = [&](char code) { return held[static_cast<unsigned char>(code)]; };
    EXPECT_EQ(at('e'), at('f'));
    EXPECT_EQ(at('e'), at('g'));
    const std::vector<ConversionFn> routines = {at('c'), at('d'), at('e'), at('o'),
                                                at('p'), at('s'), at('u'), at('x')};
    for (size_t i = 0; i < routines.size(); ++i)
        for (size_t j = i + 1; j < routines.size(); ++j)
            EXPECT_NE(routines[i], routines[j]) << i << " " << j;
}

// Calls `routine` as the engine would, with no flags, width or precision,
// on the arguments after `out`, appending its output to `*out`.
void call_conversion(ConversionFn routine, int code, std::string *out, ...) {
    va_list args;
    va_start(args, out);
    ExceptionCleanup end_args([&] { va_end(args); });
    Flags flags;
    routine(code, args, put_string, out, flags.counts, none, none);
}

// The floating routine builds its sprintf format from the conversion
// character, so under another character it must refuse rather than hand
// sprintf a conversion that reads a double as an int or a pointer (or, for
// n, writes through one). The upper-case and hexadecimal forms read a double
// and are accepted.
TEST(FmtConversionTest, FloatingRoutineRefusesNonFloatingCharacters) {
    const ConversionFn floating = fmt_install('f', nullptr);
    fmt_install('f', floating);
    struct Case {
        int code;
        const char *format;
        const char *expected; // null: assertion_failed
    };
    const Case cases[] = {
        {'E', "%.2E", "1.50E+00"}, {'F', "%F", "1.500000"},  {'G', "%G", "1.5"},
        {'a', "%.1a", "0x1.8p+0"}, {'d', "%d", nullptr},     {'x', "%x", nullptr},
        {'c', "%c", nullptr},      {'s', "%s", nullptr},     {'n', "%n", nullptr},
        {'%', "%5%", nullptr},     {0xff, "%\xff", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        ConversionFn saved = fmt_install(c.code, floating);
        std::string out;
        ExceptionFrame frame = raised_by([&] { out = format(c.format, 1.5); });
        fmt_install(c.code, saved);
        if (c.expected != nullptr) {
            EXPECT_EQ(frame.exception, nullptr);
            EXPECT_EQ(out, c.expected);
        } else {
            EXPECT_EQ(frame.exception, &assertion_failed);
            EXPECT_STREQ(frame.file, "src/fmt.cpp");
            EXPECT_EQ(out, "");
        }
    }

    // Called directly with a code no format can hold (0 would match the end
    // of the list of floating characters), it refuses too.
    for (int code : {0, -1, 256}) {
        SCOPED_TRACE(code);
        std::string out;
        ExceptionFrame frame = raised_by([&] { call_conversion(floating, code, &out, 1.5); });
        EXPECT_EQ(frame.exception, &assertion_failed);
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
        EXPECT_EQ(out, "");
    }
}

// ---- The engine

// What a routine was called with.
struct Call {
    int code;
    std::string flags; // each flag character repeated by its count, in byte order
    int width, precision;
    int argument; // what the routine took, or -1 when it takes nothing
};
std::vector<Call> calls;

Call record(int code, const unsigned char flags[256], int width, int precision, int argument) {
    Call call{code, "", width, precision, argument};
    for (int c = 0; c < 256; ++c)
        call.flags.append(flags[c], static_cast<char>(c));
    return call;
}

// Takes nothing and prints '#'.
void conv_record(int code, va_list &, PutFn put, void *closure, unsigned char flags[256], int width,
                 int precision) {
    calls.push_back(record(code, flags, width, precision, -1));
    put('#', closure);
}

// Takes an int and prints it through the number emitter.
void conv_take_int(int code, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                   int width, int precision) {
    int v = va_arg(args, int);
    calls.push_back(record(code, flags, width, precision, v));
    std::string digits = std::to_string(v);
    fmt_pad_number(digits.c_str(), static_cast<int>(digits.size()), put, closure, flags, width,
                   precision);
}

bool operator==(const Call &a, const Call &b) {
    return a.code == b.code && a.flags == b.flags && a.width == b.width &&
           a.precision == b.precision && a.argument == b.argument;
}

void PrintTo(const Call &c, std::ostream *os) {
    *os << "{'" << static_cast<char>(c.code) << "' flags \"" << c.flags << "\" width " << c.width
        << " precision " << c.precision << " arg " << c.argument << "}";
}

// Installs the recording routines under `z` and `y` (and restores whatever
// the table held) around each test, and restores the flag set.
class FmtEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        saved_z_ = fmt_install('z', conv_record);
        saved_y_ = fmt_install('y', conv_take_int);
        saved_flag_chars_ = fmt_flag_chars;
    }
    void TearDown() override {
        fmt_install('z', saved_z_);
        fmt_install('y', saved_y_);
        fmt_flag_chars = saved_flag_chars_;
    }

  private:
    ConversionFn saved_z_ = nullptr, saved_y_ = nullptr;
    const char *saved_flag_chars_ = nullptr;
};

TEST_F(FmtEngineTest, ParsesDirectives) {
    const std::string flags255(255, '-');
    const std::string directive255 = "%" + flags255 + "z";
    struct Case {
        std::string format;
        Call expected;
    };
    const Case cases[] = {
        {"%z", {'z', "", none, none, -1}},
        {"%-08.3z", {'z', "-0", 8, 3, -1}},
        {"%0-8.3z", {'z', "-0", 8, 3, -1}},
        {"%--z", {'z', "--", none, none, -1}},
        {"%+ -0 +z", {'z', "  ++-0", none, none, -1}},
        {"%.z", {'z', "", none, none, -1}},
        {"%.0z", {'z', "", none, 0, -1}},
        {"%5.z", {'z', "", 5, none, -1}},
        {"%05z", {'z', "0", 5, none, -1}},
        {"%00z", {'z', "00", none, none, -1}},
        {"%0z", {'z', "0", none, none, -1}},
        {"%007.007z", {'z', "00", 7, 7, -1}},
        {"%2147483647z", {'z', "", INT_MAX, none, -1}},
        {"%.2147483647z", {'z', "", none, INT_MAX, -1}},
        {"%0000000002147483647z", {'z', "000000000", INT_MAX, none, -1}},
        {"%.0000000002147483647z", {'z', "", none, INT_MAX, -1}},
        {directive255, {'z', flags255, none, none, -1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        calls.clear();
        EXPECT_EQ(format(c.format.c_str()), "#");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0], c.expected);
    }
}

// The flag array is cleared for every directive.
TEST_F(FmtEngineTest, EachDirectiveStartsWithoutFlags) {
    EXPECT_EQ(format("%-0+ z%z%5z", 0), "###");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].flags, " +-0");
    EXPECT_EQ(calls[1].flags, "");
    EXPECT_EQ(calls[2].flags, "");
}

TEST_F(FmtEngineTest, LiteralsAndPercent) {
    EXPECT_EQ(format(""), "");
    EXPECT_EQ(format("plain text"), "plain text");
    EXPECT_EQ(format("100%%"), "100%");
    EXPECT_EQ(format("%%%%z%%"), "%%z%");
    EXPECT_EQ(format("a%zb%zc"), "a#b#c");
    EXPECT_EQ(format("\xff\x80%z\x01"), "\xff\x80#\x01");
    EXPECT_EQ(calls.size(), 3u);
}

// Each raise: the output sent before it, then `assertion_failed` at src/fmt.
TEST_F(FmtEngineTest, MalformedDirectivesRaise) {
    const std::string flags256 = "%" + std::string(256, '0') + "z";
    const std::string mixed256 = "%" + std::string(255, ' ') + "+-0 z";
    struct Case {
        std::string format;
        std::string sent;
    };
    const Case cases[] = {
        {"ab%5%", "ab"},   // no routine for '%'
        {"abc%", "abc"},   // the NUL has no routine
        {"abc%-", "abc"},  // nor after flags
        {"abc%5.", "abc"}, // nor after a width and a dot
        {"%z%#z", "#"},    // '#' is no flag: it is the conversion character
        {"%5-z", ""},      // a flag after the width is the conversion character
        {"%X", ""},
        {"%E", ""},
        {"%G", ""},
        {"%\xff", ""},
        {"%2147483648z", ""},
        {"%.2147483648z", ""},
        {"%99999999999z", ""},
        {"%.21474836470z", ""},
        {flags256, ""},
        {mixed256, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format.substr(0, 20));
        std::string out;
        ExceptionFrame frame = raised_by([&] { fmt_emit(put_string, &out, c.format.c_str()); });
        EXPECT_EQ(frame.exception, &assertion_failed);
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
        EXPECT_EQ(out, c.sent);
    }
}

TEST_F(FmtEngineTest, StarTakesWidthAndPrecisionFromArguments) {
    EXPECT_EQ(format("%*z", -5), "#");
    EXPECT_EQ(format("%.*z", -3), "#");
    EXPECT_EQ(format("%-*.*z", INT_MAX, 0), "#");
    EXPECT_EQ(format("%*.*z", -INT_MAX, INT_MAX), "#");
    const std::vector<Call> expected = {
        {'z', "", -5, none, -1},
        {'z', "", none, -3, -1},
        {'z', "-", INT_MAX, 0, -1},
        {'z', "", -INT_MAX, INT_MAX, -1},
    };
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(std::vector<Call>(calls.begin(), calls.begin() + 4), expected);

    // INT_MIN would read as "unspecified".
    for (const char *f : {"%*z", "%.*z", "%5.*z"}) {
        SCOPED_TRACE(f);
        ExceptionFrame frame = raised_by([&] { format(f, INT_MIN); });
        EXPECT_EQ(frame.exception, &assertion_failed);
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
    }
    EXPECT_EQ(calls.size(), 4u);
}

TEST_F(FmtEngineTest, ArgumentsAreTakenInFormatOrder) {
    EXPECT_EQ(format("%*y|%y", 5, 11, 22), "   11|22");
    EXPECT_EQ(format("%*.*y %y %.*y|%-*y|", 6, 4, 1, 2, 3, 4, -4, 5), "  0001 2 004|5   |");
    const std::vector<Call> expected = {
        {'y', "", 5, none, 11},   {'y', "", none, none, 22}, {'y', "", 6, 4, 1},
        {'y', "", none, none, 2}, {'y', "", none, 3, 4},     {'y', "-", -4, none, 5},
    };
    EXPECT_EQ(calls, expected);
    // Standard conversions share the one list with client routines.
    EXPECT_EQ(format("%d %y %s %*y %c", 1, 2, "three", 3, 4, 'x'), "1 2 three   4 x");
}

TEST_F(FmtEngineTest, FlagSetIsReadForEveryDirective) {
    fmt_flag_chars = nullptr;
    EXPECT_EQ(format("%05z"), "#"); // the leading zero starts the width
    EXPECT_EQ(raised_by([] { format("%-5z"); }).exception, &assertion_failed);
    fmt_install('-', conv_record);
    EXPECT_EQ(format("%-5z"), "#5z"); // '-' is the conversion character
    fmt_install('-', nullptr);

    fmt_flag_chars = "#!";
    EXPECT_EQ(format("%#!z|%!!y", 7), "#|7");
    EXPECT_EQ(raised_by([] { format("%-z"); }).exception, &assertion_failed);

    const std::vector<Call> expected = {
        {'z', "", 5, none, -1},
        {'-', "", none, none, -1},
        {'z', "!#", none, none, -1},
        {'y', "!!", none, none, 7},
    };
    EXPECT_EQ(calls, expected);
}

TEST_F(FmtEngineTest, InstallRemoveAndRestore) {
    for (int code : {0, 256, -1, INT_MIN}) {
        ExceptionFrame frame = raised_by([&] { fmt_install(code, conv_record); });
        EXPECT_EQ(frame.exception, &assertion_failed) << code;
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
    }
    EXPECT_EQ(format("%c", 'A'), "A");
    ConversionFn standard = fmt_install('c', nullptr);
    ASSERT_NE(standard, nullptr);
    EXPECT_EQ(raised_by([] { format("%c", 'A'); }).exception, &assertion_failed);
    EXPECT_EQ(fmt_install('c', conv_take_int), nullptr);
    EXPECT_EQ(format("%c", 'A'), "65"); // takes effect at the next directive
    EXPECT_EQ(fmt_install('c', standard), conv_take_int);
    EXPECT_EQ(format("%c", 'A'), "A");
    // One routine may serve several characters, and code 255 is a character.
    EXPECT_EQ(fmt_install(255, conv_record), nullptr);
    EXPECT_EQ(fmt_install(1, conv_record), nullptr);
    EXPECT_EQ(format("%\xff%\x01"), "##");
    EXPECT_EQ(fmt_install(255, nullptr), conv_record);
    EXPECT_EQ(fmt_install(1, nullptr), conv_record);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].code, 255);
    EXPECT_EQ(calls[2].code, 1);
}

// The engine's own checks, each at its own line, before anything is sent.
TEST(FmtEngineChecksTest, NullSinkOrFormatRaise) {
    std::string out;
    ExceptionFrame no_put = raised_by([&] { fmt_emit(nullptr, &out, "x"); });
    ExceptionFrame no_format = raised_by([&] { fmt_emit(put_string, &out, nullptr); });
    EXPECT_EQ(no_put.exception, &assertion_failed);
    EXPECT_EQ(no_format.exception, &assertion_failed);
    EXPECT_STREQ(no_put.file, "src/fmt.cpp");
    EXPECT_LT(no_put.line, no_format.line);
    EXPECT_EQ(out, "");
    // The closure is the sink's business: null is passed through.
    static int count;
    count = 0;
    fmt_emit([](int c, void *closure) { return closure == nullptr ? ++count : c; }, nullptr, "ok");
    EXPECT_EQ(count, 2);
}

// ---- The sinks

int vbuffer(char *buf, int size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = fmt_vbuffer(buf, size, format, args);
    va_end(args);
    return n;
}

// At, below and above the size: what is returned, what is stored, and that
// nothing is written past `size`.
TEST(FmtBufferTest, BoundedBufferStoresUpToItsSize) {
    struct Case {
        int size;
        const char *format;
        int arg;
        int returned;       // -1: format_overflow
        std::string stored; // the first bytes of the buffer afterwards
    };
    const Case cases[] = {
        {4, "abc", 0, 3, std::string("abc\0", 4)},
        {3, "abc", 0, -1, "abc"},
        {2, "abc", 0, -1, "ab"},
        {1, "abc", 0, -1, "a"},
        {1, "", 0, 0, std::string("\0", 1)},
        {100, "%5d|", 42, 6, std::string("   42|\0", 7)},
        {7, "%5d|", 42, 6, std::string("   42|\0", 7)},
        {6, "%5d|", 42, -1, "   42|"},
        {5, "%5d|", 42, -1, "   42"},
        {3, "%-5d|", 42, -1, "42 "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.format) + " size " + std::to_string(c.size));
        char buf[128];
        std::memset(buf, '@', sizeof buf);
        int returned = -1;
        ExceptionFrame frame =
            raised_by([&] { returned = fmt_buffer(buf, c.size, c.format, c.arg); });
        if (c.returned < 0) {
            EXPECT_EQ(frame.exception, &format_overflow);
            EXPECT_STREQ(frame.file, "src/fmt.cpp");
        } else {
            EXPECT_EQ(frame.exception, nullptr);
        }
        EXPECT_EQ(returned, c.returned);
        EXPECT_EQ(std::string(buf, c.stored.size()), c.stored);
        EXPECT_EQ(std::string(buf + c.size, 8), std::string(8, '@'));
    }
    char buf[8];
    EXPECT_EQ(vbuffer(buf, 8, "%s%d", "ab", -5), 4);
    EXPECT_STREQ(buf, "ab-5");
}

// The sink leaves a full buffer full: `next` stays at the end.
TEST(FmtBufferTest, FullBoundedSinkKeepsItsState) {
    char buf[2] = {'x', 'y'};
    FmtBuffer buffer = {buf, buf, 2};
    EXPECT_EQ(fmt_put_bounded('a', &buffer), 'a');
    EXPECT_EQ(fmt_put_bounded(0xff, &buffer), 0xff);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(raised_by([&] { fmt_put_bounded('c', &buffer); }).exception, &format_overflow);
        EXPECT_EQ(buffer.buf, buf);
        EXPECT_EQ(buffer.next, buf + 2);
        EXPECT_EQ(buffer.size, 2);
    }
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(buf[1], '\xff');
}

// Successive appends join their output in one buffer, each ending on a NUL
// that the next writes over; the one that does not fit fills the buffer.
TEST(FmtBufferTest, AppendsJoinInOneBuffer) {
    char buf[12];
    std::memset(buf, '@', sizeof buf);
    FmtBuffer buffer = {buf, buf, 8};
    struct Step {
        const char *format;
        int arg;
        int returned;       // -1: format_overflow
        std::string stored; // the buffer's first bytes afterwards
    };
    const Step steps[] = {
        {"", 0, 0, std::string("\0", 1)},
        {"ab%d", 1, 3, std::string("ab1\0", 4)},
        {"%3d", 7, 6, std::string("ab1  7\0", 7)},
        {"x", 0, 7, std::string("ab1  7x\0", 8)},
        {"y", 0, -1, "ab1  7xy"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.format);
        int returned = -1;
        ExceptionFrame frame =
            raised_by([&] { returned = fmt_append(&buffer, step.format, step.arg); });
        EXPECT_EQ(frame.exception, step.returned < 0 ? &format_overflow : nullptr);
        EXPECT_EQ(returned, step.returned);
        EXPECT_EQ(std::string(buf, step.stored.size()), step.stored);
        EXPECT_EQ(buffer.next, buf + (step.returned < 0 ? 8 : step.returned));
    }
    EXPECT_EQ(std::string(buf + 8, 4), "@@@@");
}

// Once an append has overflowed, `next` is at the end of the buffer, where
// it stays: every later append raises format_overflow again, at its first
// character or at its NUL, and writes nothing.
TEST(FmtBufferTest, AppendAfterOverflowRaisesAgain) {
    char buf[8];
    std::memset(buf, '@', sizeof buf);
    FmtBuffer buffer = {buf, buf, 4};
    EXPECT_EQ(raised_by([&] { fmt_append(&buffer, "abcdef"); }).exception, &format_overflow);
    EXPECT_EQ(buffer.next, buf + 4);
    for (const char *format : {"", "x", "%d"}) {
        SCOPED_TRACE(testing::Message() << '"' << format << '"');
        const ExceptionFrame frame = raised_by([&] { fmt_append(&buffer, format, 7); });
        EXPECT_EQ(frame.exception, &format_overflow);
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
        EXPECT_EQ(buffer.buf, buf);
        EXPECT_EQ(buffer.next, buf + 4);
        EXPECT_EQ(buffer.size, 4);
        EXPECT_EQ(std::string(buf, sizeof buf), "abcd@@@@");
    }
}

// The line of src/fmt.cpp at which each call raised assertion_failed, in
// the order of the calls; a call that raises anything else fails the test.
std::vector<int32_t> assertion_lines(std::initializer_list<std::function<void()>> calls) {
    std::vector<int32_t> lines;
    for (const auto &call : calls) {
        SCOPED_TRACE(testing::Message() << "call " << lines.size());
        ExceptionFrame frame = raised_by(call);
        EXPECT_EQ(frame.exception, &assertion_failed);
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
        lines.push_back(frame.line);
    }
    return lines;
}

TEST(FmtBufferTest, AppendPreconditionsInOrder) {
    char buf[8];
    std::memset(buf, '@', sizeof buf);
    FmtBuffer no_buf = {nullptr, nullptr, 4};
    FmtBuffer no_size = {buf, buf, 0};
    FmtBuffer next_before = {buf + 1, buf, 3};
    FmtBuffer next_past = {buf, buf + 5, 4};
    FmtBuffer good = {buf, buf, 4};
    const std::vector<int32_t> lines = assertion_lines({
        [&] { fmt_append(nullptr, nullptr); },
        [&] { fmt_append(&no_buf, nullptr); },
        [&] { fmt_append(&no_size, nullptr); },
        [&] { fmt_append(&next_before, "x"); },
        [&] { fmt_append(&next_past, "x"); },
        [&] { fmt_append(&good, nullptr); },
    });
    EXPECT_LT(lines[0], lines[1]);
    EXPECT_LT(lines[1], lines[2]);
    EXPECT_LT(lines[2], lines[3]);
    EXPECT_EQ(lines[3], lines[4]);
    EXPECT_LT(lines[4], lines[5]);
    EXPECT_EQ(std::string(buf, 8), "@@@@@@@@");
}

TEST(FmtBufferTest, BufferPreconditionsInOrder) {
    char buf[4] = {'@', '@', '@', '@'};
    const std::vector<int32_t> lines = assertion_lines({
        [&] { fmt_buffer(nullptr, 0, nullptr); },
        [&] { fmt_buffer(buf, 0, nullptr); },
        [&] { fmt_buffer(buf, -1, "x"); },
        [&] { fmt_buffer(buf, 4, nullptr); },
    });
    EXPECT_LT(lines[0], lines[1]);
    EXPECT_EQ(lines[1], lines[2]);
    EXPECT_LT(lines[2], lines[3]);
    EXPECT_EQ(std::string(buf, 4), "@@@@");
    for (auto call : {+[] { fmt_alloc(nullptr); },
                      +[] {
                          char *p = fmt_alloc("%c%", 'a');
                          mem_release(p);
                      }}) {
        ExceptionFrame frame = raised_by(call);
        EXPECT_EQ(frame.exception, &assertion_failed);
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
    }
}

TEST(FmtBufferTest, GrowingSinkDoublesWhenFull) {
    FmtBuffer buffer = {static_cast<char *>(mem_allocate(256)), nullptr, 256};
    buffer.next = buffer.buf;
    for (int i = 0; i < 256; ++i)
        fmt_put_growing('a' + i % 26, &buffer);
    EXPECT_EQ(buffer.size, 256);
    EXPECT_EQ(buffer.next, buffer.buf + 256);
    EXPECT_EQ(fmt_put_growing(0xfe, &buffer), 0xfe);
    EXPECT_EQ(buffer.size, 512);
    EXPECT_EQ(buffer.next, buffer.buf + 257);
    for (int i = 257; i < 513; ++i)
        fmt_put_growing('a' + i % 26, &buffer);
    EXPECT_EQ(buffer.size, 1024);
    for (int i = 0; i < 513; ++i)
        ASSERT_EQ(buffer.buf[i], i == 256 ? '\xfe' : 'a' + i % 26) << i;
    if (allocated_size_known) {
        EXPECT_EQ(allocated_size(buffer.buf), 1024u);
    }
    mem_release(buffer.buf);
}

// Past INT_MAX / 2 a full block grows only to INT_MAX bytes. (The block here
// is small and the request is refused: only the size asked for is seen.)
TEST(FmtBufferTest, GrowingSinkGrowsToIntMaxAtMost) {
    const struct {
        int size;
        int64_t asked;
    } cases[] = {{INT_MAX / 2, INT_MAX - 1}, {INT_MAX / 2 + 1, INT_MAX}, {INT_MAX - 1, INT_MAX}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        char *block = static_cast<char *>(mem_allocate(16));
        FmtBuffer buffer = {block, block + c.size, c.size};
        ExceptionFrame frame =
            raised_when_request_refused(1, [&] { fmt_put_growing('a', &buffer); });
        EXPECT_EQ(frame.exception, &allocation_failed);
        EXPECT_EQ(failing_alloc::refused_size, c.asked);
        EXPECT_EQ(buffer.buf, block);
        EXPECT_EQ(buffer.size, c.size);
        mem_release(block);
    }
}

// The size is an int: a full block of INT_MAX bytes cannot grow, and the
// sink says so instead of wrapping the size. (The block here is small; the
// sink looks only at the bookkeeping before it would reallocate.)
TEST(FmtBufferTest, GrowingSinkRefusesToPassIntMax) {
    char *block = static_cast<char *>(mem_allocate(16));
    FmtBuffer buffer = {block, block + INT_MAX, INT_MAX};
    ExceptionFrame frame = raised_by([&] { fmt_put_growing('a', &buffer); });
    EXPECT_EQ(frame.exception, &allocation_failed);
    EXPECT_STREQ(frame.file, "src/fmt.cpp");
    EXPECT_EQ(buffer.buf, block);
    EXPECT_EQ(buffer.next, block + INT_MAX);
    EXPECT_EQ(buffer.size, INT_MAX);
    mem_release(block);
}

// The returned string holds exactly the output and its NUL.
TEST(FmtBufferTest, GrowingStringIsResizedToItsLength) {
    for (int len : {0, 1, 255, 256, 257, 511, 512, 513, 4321}) {
        SCOPED_TRACE(len);
        std::string expected;
        for (int i = 0; i < len; ++i)
            expected.push_back(static_cast<char>('A' + i % 26));
        char *s = fmt_alloc("%s", expected.c_str());
        EXPECT_EQ(std::string(s), expected);
        if (allocated_size_known) {
            EXPECT_EQ(allocated_size(s), static_cast<size_t>(len) + 1);
        }
        mem_release(s);
    }
    char *s = fmt_alloc("%d|%s|%c", -12, "x", 'y');
    EXPECT_STREQ(s, "-12|x|y");
    mem_release(s);
}

// A raise part-way through frees the string (the sanitizer build reports a
// leak otherwise), whether or not it had grown.
TEST(FmtBufferTest, GrowingStringIsFreedOnRaise) {
    const std::string long_text(3000, 'q');
    for (const char *f : {"ab%X", "%s%X", "%s%"}) {
        SCOPED_TRACE(f);
        ExceptionFrame frame = raised_by([&] {
            char *s = fmt_alloc(f, long_text.c_str());
            mem_release(s);
        });
        EXPECT_EQ(frame.exception, &assertion_failed);
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
    }
}

// A growth that cannot be had leaves the sink's block, position and size as
// they were, with the characters already written.
TEST(FmtBufferTest, GrowingSinkKeepsItsBlockWhenGrowthFails) {
    FmtBuffer buffer = {static_cast<char *>(mem_allocate(256)), nullptr, 256};
    buffer.next = buffer.buf;
    for (int i = 0; i < 256; ++i)
        fmt_put_growing('a' + i % 26, &buffer);
    const FmtBuffer before = buffer;
    const int64_t live = failing_alloc::live_blocks();
    ExceptionFrame frame = raised_when_request_refused(1, [&] { fmt_put_growing('z', &buffer); });
    EXPECT_EQ(frame.exception, &allocation_failed);
    EXPECT_STREQ(frame.file, "src/fmt.cpp");
    EXPECT_EQ(buffer.buf, before.buf);
    EXPECT_EQ(buffer.next, before.next);
    EXPECT_EQ(buffer.size, before.size);
    EXPECT_EQ(failing_alloc::live_blocks(), live);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(buffer.buf[i], 'a' + i % 26) << i;
    EXPECT_EQ(fmt_put_growing('z', &buffer), 'z');
    EXPECT_EQ(buffer.size, 512);
    mem_release(buffer.buf);
}

// Each request of a growing string refused in turn: the first block, every
// doubling and the final resize to the exact length. Every one raises at
// src/fmt and leaves nothing allocated.
TEST(FmtBufferTest, GrowingStringExhaustionLeaksNothing) {
    const struct {
        int len;
        int32_t requests; // first block, doublings, final resize
    } cases[] = {{0, 2}, {255, 2}, {256, 3}, {600, 4}, {4321, 7}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        const std::string text(static_cast<size_t>(c.len), 'w');
        const int64_t live = failing_alloc::live_blocks();
        int32_t refused = 0;
        const int32_t made = failing_alloc::with_each_request_refused([&] {
            ExceptionFrame frame = raised_by([&] {
                char *s = fmt_alloc("%s", text.c_str());
                EXPECT_EQ(std::string(s), text);
                mem_release(s);
            });
            if (failing_alloc::countdown == 0) {
                ++refused;
                EXPECT_EQ(frame.exception, &allocation_failed);
                EXPECT_STREQ(frame.file, "src/fmt.cpp");
            }
            EXPECT_EQ(failing_alloc::live_blocks(), live);
        });
        EXPECT_EQ(made, c.requests);
        EXPECT_EQ(refused, c.requests);
    }
}

// ---- Client code that throws
//
// A conversion routine or a sink is client code, and it may leave by a C++
// exception as well as by a raise. Either way the entry points free what
// they hold and pass the throw on unchanged.

// %Q sends '<' and then leaves as `conversion_exit` says.
Exit conversion_exit = Exit::cxx;

void leaving_conversion(int, va_list &, PutFn put, void *closure, unsigned char *, int, int) {
    put('<', closure);
    leave(conversion_exit);
}

// %Q, and the other modules' conversions as %T, %U and %D, installed for
// the test.
class FmtThrowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto &[code, routine] : installed_)
            saved_[code] = fmt_install(code, routine);
    }
    void TearDown() override {
        for (const auto &[code, routine] : saved_)
            fmt_install(code, routine);
    }

  private:
    const std::map<int, ConversionFn> installed_ = {
        {'Q', leaving_conversion}, {'T', text_format}, {'U', mp_format_u}, {'D', mp_format_s}};
    std::map<int, ConversionFn> saved_;
};

// The growing string is freed whether it is still the first block or has
// grown, for a C++ exception as for a raise.
TEST_F(FmtThrowTest, GrowingStringIsFreedWhenAConversionThrows) {
    const std::string long_text(3000, 'q');
    for (Exit how : every_exit) {
        for (const char *format : {"%Q", "%s%Q"}) {
            SCOPED_TRACE(testing::Message() << name_of(how) << ", " << format);
            conversion_exit = how;
            const int64_t live = failing_alloc::live_blocks();
            EXPECT_TRUE(
                left_as(how, [&] { MemOwner<char> s(fmt_alloc(format, long_text.c_str())); }));
            EXPECT_EQ(failing_alloc::live_blocks(), live);
            EXPECT_EQ(exception_stack, nullptr);
        }
    }
}

// What was sent before the throw stays where it went: a bounded buffer holds
// it with no NUL after it, and an appending buffer goes on after it.
TEST_F(FmtThrowTest, OutputBeforeTheThrowStays) {
    const struct {
        const char *what;
        std::function<std::string()> run; // what the destination holds afterwards
        std::string expected;
    } cases[] = {
        {"emit",
         [] {
             std::string out;
             EXPECT_TRUE(left_as(conversion_exit, [&] { fmt_emit(put_string, &out, "ab%Qcd"); }));
             return out;
         },
         "ab<"},
        {"buffer",
         [] {
             char buf[8];
             std::memset(buf, '@', sizeof buf);
             EXPECT_TRUE(left_as(conversion_exit, [&] { fmt_buffer(buf, 6, "ab%Qcd"); }));
             return std::string(buf, sizeof buf);
         },
         "ab<@@@@@"},
        {"append, then append again",
         [] {
             char buf[8];
             std::memset(buf, '@', sizeof buf);
             FmtBuffer buffer = {buf, buf, 8};
             EXPECT_EQ(fmt_append(&buffer, "x"), 1);
             EXPECT_TRUE(left_as(conversion_exit, [&] { fmt_append(&buffer, "ab%Qcd"); }));
             EXPECT_EQ(buffer.next, buf + 4);
             EXPECT_EQ(fmt_append(&buffer, "yz"), 6);
             return std::string(buf, sizeof buf);
         },
         std::string("xab<yz\0@", 8)},
        {"stream",
         [] {
             FILE *f = std::tmpfile();
             EXPECT_NE(f, nullptr);
             EXPECT_TRUE(left_as(conversion_exit, [&] { fmt_stream(f, "ab%Qcd"); }));
             std::rewind(f);
             char line[16] = {};
             EXPECT_NE(std::fgets(line, sizeof line, f), nullptr);
             std::fclose(f);
             return std::string(line);
         },
         "ab<"},
    };
    for (Exit how : every_exit) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << name_of(how) << ", " << c.what);
            conversion_exit = how;
            EXPECT_EQ(c.run(), c.expected);
            EXPECT_EQ(exception_stack, nullptr);
        }
    }
}

// A sink that leaves at its `throw_at`th character (1-based), keeping the
// ones before.
struct LeavingSink {
    Exit how;
    int throw_at;
    std::string out;
};

int put_until_leaving(int c, void *closure) {
    auto *sink = static_cast<LeavingSink *>(closure);
    if (static_cast<int>(sink->out.size()) + 1 == sink->throw_at)
        leave(sink->how);
    sink->out.push_back(static_cast<char>(c));
    return c;
}

// The sink leaving at each character in turn: whatever a conversion holds
// (mp's conversions render into a block of their own) is freed, and the
// output is the characters before it.
TEST_F(FmtThrowTest, ConversionsFreeWhatTheyHoldWhenTheSinkThrows) {
    MemOwner<unsigned char> negative(mp_create(1234567));
    mp_negate(negative.get(), negative.get());
    MemOwner<unsigned char> positive(mp_create(0xbeef));
    const Text text = text_wrap("texts", 5);
    const struct {
        const char *what;
        std::function<void(LeavingSink &)> emit;
        std::string expected;
    } cases[] = {
        {"mp_format_s",
         [&](LeavingSink &s) { fmt_emit(put_until_leaving, &s, "[%+12D]", negative.get(), 10); },
         "[    -1234567]"},
        {"mp_format_u",
         [&](LeavingSink &s) { fmt_emit(put_until_leaving, &s, "[%-8U]", positive.get(), 16); },
         "[BEEF    ]"},
        {"text_format", [&](LeavingSink &s) { fmt_emit(put_until_leaving, &s, "[%7.4T]", &text); },
         "[   text]"},
        {"standard",
         [&](LeavingSink &s) {
             fmt_emit(put_until_leaving, &s, "%05d|%.2s|%6.2f", -42, "str", 2.5);
         },
         "-0042|st|  2.50"},
    };
    for (Exit how : every_exit) {
        for (const auto &c : cases) {
            for (int at = 1;; ++at) {
                SCOPED_TRACE(testing::Message()
                             << name_of(how) << ", " << c.what << ", character " << at);
                LeavingSink sink{how, at, {}};
                const int64_t live = failing_alloc::live_blocks();
                const bool left = left_as(how, [&] { c.emit(sink); });
                EXPECT_EQ(failing_alloc::live_blocks(), live);
                EXPECT_EQ(exception_stack, nullptr);
                if (!left) {
                    EXPECT_EQ(sink.out, c.expected);
                    break;
                }
                EXPECT_EQ(sink.out, c.expected.substr(0, static_cast<size_t>(at - 1)));
                ASSERT_LE(at, static_cast<int>(c.expected.size()));
            }
        }
    }
}

TEST(FmtStreamTest, StreamAndStandardOutput) {
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    fmt_stream(f, "%d-%s|%5.1f", 5, "x", 2.25);
    EXPECT_EQ(fmt_put_stream(0xff, f), 0xff);
    std::rewind(f);
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "5-x|  2.2\xff");
    std::fclose(f);

    ::testing::internal::CaptureStdout();
    fmt_stdout("%s %d%%\n", "done", 100);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "done 100%\n");
}

TEST(FmtDeathTest, UncaughtOverflowReport) {
    char buf[2];
    EXPECT_EXIT(
        fmt_buffer(buf, 2, "abc"), ::testing::KilledBySignal(SIGABRT),
        abort_report(::testing::MatchesRegex("Uncaught exception Formatting Overflow raised at "
                                             "src/fmt\\.cpp:[1-9][0-9]*\naborting\\.\\.\\.\n")));
}

// ---- Against the C library

// Formats `value` after `stars` star arguments with both formatters and
// returns whether they agree; `ours` and `theirs` receive the outputs.
template <typename T>
bool agrees(const std::string &directive, int stars, int star1, int star2, T value,
            std::string &ours, std::string &theirs) {
    char a[1024], b[1024];
    const char *f = directive.c_str();
    int na = 0, nb = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    switch (stars) {
    case 0:
        na = fmt_buffer(a, sizeof a, f, value);
        nb = std::snprintf(b, sizeof b, f, value);
        break;
    case 1:
        na = fmt_buffer(a, sizeof a, f, star1, value);
        nb = std::snprintf(b, sizeof b, f, star1, value);
        break;
    default:
        na = fmt_buffer(a, sizeof a, f, star1, star2, value);
        nb = std::snprintf(b, sizeof b, f, star1, star2, value);
        break;
    }
#pragma GCC diagnostic pop
    ours.assign(a, na);
    theirs.assign(b, nb);
    return ours == theirs;
}

// Every combination of flags, widths and precisions for one conversion and
// its values, except the flags listed in `skip_flags`. Reports the first few
// disagreements; returns the number of cases run.
template <typename T>
int compare_grid(char conversion, const std::vector<T> &values, const char *skip_flags,
                 bool (*skip)(const std::string &flags, T value) = nullptr) {
    struct Width {
        const char *text;
        int stars, arg;
    };
    const Width widths[] = {{"", 0, 0},   {"1", 0, 0},  {"5", 0, 0}, {"12", 0, 0},
                            {"33", 0, 0}, {"*", 1, -9}, {"*", 1, 7}};
    const Width precisions[] = {{"", 0, 0},    {".0", 0, 0},  {".1", 0, 0}, {".3", 0, 0},
                                {".17", 0, 0}, {".*", 1, -1}, {".*", 1, 4}};
    const char all_flags[] = "-+ 0";
    int cases = 0, failures = 0;
    for (int mask = 0; mask < 16; ++mask) {
        std::string flags;
        for (int i = 0; i < 4; ++i)
            if (mask & (1 << i))
                flags.push_back(all_flags[i]);
        if (flags.find_first_of(skip_flags) != std::string::npos)
            continue;
        for (const Width &w : widths) {
            for (const Width &p : precisions) {
                std::string directive = "%" + flags + w.text + p.text + conversion;
                int stars = w.stars + p.stars;
                int star1 = w.stars ? w.arg : p.arg;
                int star2 = p.arg;
                for (T value : values) {
                    if (skip != nullptr && skip(flags, value))
                        continue;
                    std::string ours, theirs;
                    ++cases;
                    if (!agrees(directive, stars, star1, star2, value, ours, theirs) &&
                        ++failures <= 10)
                        ADD_FAILURE() << directive << " stars " << star1 << "," << star2 << ": \""
                                      << ours << "\" vs snprintf \"" << theirs << "\"";
                }
            }
        }
    }
    EXPECT_EQ(failures, 0) << conversion;
    return cases;
}

TEST(FmtDifferentialTest, IntegersAgreeWithPrintf) {
    const std::vector<int> ints = {INT_MIN, INT_MIN + 1, -123456, -42, -1, 0, 1, 7, 99999, INT_MAX};
    const std::vector<unsigned> uints = {0,    1,           7,           8,           255,
                                         4096, 0x7fffffffu, 0x80000000u, 0xdeadbeefu, UINT_MAX};
    EXPECT_GT(compare_grid('d', ints, fmt_model::flags_unlike_printf('d')), 7000);
    for (char conversion : {'u', 'o', 'x'})
        EXPECT_GT(compare_grid(conversion, uints, fmt_model::flags_unlike_printf(conversion)),
                  1900);
}

TEST(FmtDifferentialTest, CharactersAndStringsAgreeWithPrintf) {
    EXPECT_GT(compare_grid('c', std::vector<int>{'A', ' ', '~', 0x1ff},
                           fmt_model::flags_unlike_printf('c')),
              1000);
    const std::vector<const char *> strings = {"", "a", "hello",
                                               "a string longer than most fields"};
    EXPECT_GT(compare_grid('s', strings, fmt_model::flags_unlike_printf('s')), 1000);
}

TEST(FmtDifferentialTest, FloatsAgreeWithPrintf) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> values = {0.0,  -0.0,    0.5,      1.5,   -1.5,
                                        2.5,  3.14159, -2.0 / 3, 1e-5,  123456.789,
                                        1e15, 1e-300,  5e-324,   1e300, -1.7976931348623157e308,
                                        inf,  -inf,    nan,      -nan};
    for (char conversion : {'e', 'f', 'g'})
        EXPECT_GT(compare_grid(conversion, values, fmt_model::flags_unlike_printf(conversion)),
                  10000);
}

// The differences that tests/fmt_model.hpp lists, with this formatter's own
// output.
TEST(FmtDifferentialTest, KnownDifferencesFromPrintf) {
    void *address = reinterpret_cast<void *>(uintptr_t{0x1234});
    struct Case {
        std::string actual;
        const char *expected; // printf would give
    };
    const Case cases[] = {
        {format("%+u", 5u), "+5"},             // 5
        {format("% u", 5u), " 5"},             // 5
        {format("%+o", 8u), "+10"},            // 10
        {format("% 5x", 255u), "   ff"},       // "   ff" only by chance of width
        {format("%+x", 0u), "+0"},             // 0
        {format("%p", address), "1234"},       // 0x1234
        {format("%.8p", address), "1234"},     // 0x00001234
        {format("%08p", address), "00001234"}, // undefined
        {format("%+p", address), "+1234"},     // +0x1234
        {format("%-6p|", address), "1234  |"}, // "0x1234|"
        {format("%05c", 'A'), "    A"},        // undefined
        {format("%05s", "abc"), "  abc"},      // undefined
        {format("%.d", 5), "5"},               // a lone '.' is no precision: printf reads 0
        {format("%.s", "abc"), "abc"},         // (empty)
        {format("%.f", 1.5), "1.500000"},      // 2
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.actual, c.expected);
    // No alternate forms, upper-case or other conversions, length modifiers,
    // grouping or argument positions.
    for (const char *f : {"%#x", "%#o", "%X", "%E", "%G", "%F", "%a", "%i", "%n", "%lld", "%ld",
                          "%hd", "%zu", "%jd", "%Lf", "%'d", "%1$d"}) {
        ExceptionFrame frame = raised_by([&] { format(f, 1); });
        EXPECT_EQ(frame.exception, &assertion_failed) << f;
    }
    // Precisions at or beyond 100 are refused for the floating conversions,
    // whatever the value; 99 is the largest.
    EXPECT_EQ(format("%.99e", 1.0).size(), 105u);
    for (const char *f : {"%.100f", "%.100e", "%.100g", "%.2147483647f"}) {
        ExceptionFrame frame = raised_by([&] { format(f, 1.0); });
        EXPECT_EQ(frame.exception, &assertion_failed) << f;
        EXPECT_STREQ(frame.file, "src/fmt.cpp");
    }
    EXPECT_EQ(
        raised_by([] { format("%.*f", fmt_model::largest_float_precision + 1, 1.0); }).exception,
        &assertion_failed);
    EXPECT_EQ(format("%.*f", 99, 0.0).size(), 101u);
    // The most negative double in fixed point at the largest precision.
    EXPECT_EQ(format("%.99f", -1.7976931348623157e308).size(), 410u);
    EXPECT_EQ(raised_by([] { format("%s", static_cast<const char *>(nullptr)); }).exception,
              &assertion_failed);
}

} // namespace
} // namespace lexspot

#include "xp.hpp"

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "assert.hpp"

namespace lexspot {
namespace {

using Digits = std::vector<unsigned char>;

// Runs `f` under a frame and returns what it raised (null when nothing).
template <typename F>
ExceptionFrame raised_by(F f) {
    ExceptionFrame seen{};
    EXCEPTION_TRY { f(); }
    EXCEPTION_HANDLER(frame) { seen = frame; }
    EXCEPTION_END
    return seen;
}

void expect_assertion_at_xp(const ExceptionFrame &f) {
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/xp.cpp");
    EXPECT_GT(f.line, 0);
}

Digits filled(int32_t n, unsigned char v) { return Digits(static_cast<size_t>(n), v); }

// ---------------------------------------------------------------------------
// Core primitives: the specified cases

TEST(XpCoreTest, FromUintStoresAndReturnsLeftover) {
    struct Case {
        int32_t n;
        uint64_t u;
        Digits digits;
        uint64_t leftover;
    };
    const Case cases[] = {
        {1, 0x345, {0x45}, 3},
        {2, 0x345, {0x45, 0x03}, 0},
        {3, 0, {0, 0, 0}, 0},
        {8, UINT64_MAX, filled(8, 0xFF), 0},
        {8, 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}, 0},
        {10, 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1, 0, 0}, 0},
        {3, 0x0102030405060708, {8, 7, 6}, 0x0102030405},
        {1, UINT64_MAX, {0xFF}, UINT64_MAX >> 8},
        {1, 255, {0xFF}, 0},
        {1, 256, {0x00}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        SCOPED_TRACE(c.u);
        Digits z = filled(c.n, 0xAA);
        EXPECT_EQ(xp_from_uint(c.n, z.data(), c.u), c.leftover);
        EXPECT_EQ(z, c.digits);
    }
}

TEST(XpCoreTest, ToUintReadsAtMostEightDigits) {
    const Digits x = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(xp_to_uint(10, x.data()), 0x0807060504030201u);
    EXPECT_EQ(xp_to_uint(8, x.data()), 0x0807060504030201u);
    EXPECT_EQ(xp_to_uint(3, x.data()), 0x030201u);
    EXPECT_EQ(xp_to_uint(1, x.data()), 1u);
    EXPECT_EQ(xp_to_uint(0, x.data()), 0u);
    const Digits ones = filled(9, 0xFF);
    EXPECT_EQ(xp_to_uint(9, ones.data()), UINT64_MAX);
}

TEST(XpCoreTest, SignificantLength) {
    struct Case {
        Digits x;
        int32_t expected;
    };
    const Case cases[] = {
        {{0, 0, 0}, 1}, {{5, 0, 0}, 1}, {{0, 1, 0}, 2}, {{0, 0, 1}, 3}, {{7}, 1}, {{0}, 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(xp_significant_length(static_cast<int32_t>(c.x.size()), c.x.data()),
                  c.expected);
    const unsigned char zero = 0;
    EXPECT_EQ(xp_significant_length(0, &zero), 0);
}

// Each case runs into a separate z and again into each operand's own array.
TEST(XpCoreTest, AddSubtractNegateCases) {
    enum Op { Plus, Minus, PlusDigit, MinusDigit, Negate };
    struct Case {
        const char *what;
        Op op;
        Digits x, y;
        int32_t in; // carry, borrow or digit
        Digits z;
        int32_t out;
    };
    const Case cases[] = {
        {"ff+ff+1", Plus, filled(3, 0xFF), filled(3, 0xFF), 1, filled(3, 0xFF), 1},
        {"1+ff", Plus, {1, 0}, {0xFF, 0}, 0, {0, 1}, 0},
        {"fffe+1+1", Plus, {0xFE, 0xFF}, {1, 0}, 1, {0, 0}, 1},
        {"0-1", Minus, filled(3, 0), {1, 0, 0}, 0, filled(3, 0xFF), 1},
        {"0-0-1", Minus, filled(3, 0), filled(3, 0), 1, filled(3, 0xFF), 1},
        {"equal", Minus, {5, 6, 7}, {5, 6, 7}, 0, {0, 0, 0}, 0},
        {"equal-1", Minus, {5, 6, 7}, {5, 6, 7}, 1, filled(3, 0xFF), 1},
        {"100-1", Minus, {0, 1}, {1, 0}, 0, {0xFF, 0}, 0},
        {"ff..+1", PlusDigit, filled(4, 0xFF), {}, 1, filled(4, 0), 1},
        {"fe+1 copies", PlusDigit, {0xFE, 7, 9}, {}, 1, {0xFF, 7, 9}, 0},
        {"+0", PlusDigit, {1, 2}, {}, 0, {1, 2}, 0},
        {"0-1 digit", MinusDigit, filled(4, 0), {}, 1, filled(4, 0xFF), 1},
        {"100-ff", MinusDigit, {0, 1}, {}, 0xFF, {1, 0}, 0},
        {"neg 0", Negate, {0, 0}, {}, 1, {0, 0}, 1},
        {"neg 1", Negate, {1, 0, 0}, {}, 1, filled(3, 0xFF), 0},
        {"neg 80", Negate, {0x80}, {}, 1, {0x80}, 0},
        {"complement", Negate, {0x0F, 0xF0}, {}, 0, {0xF0, 0x0F}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int32_t n = static_cast<int32_t>(c.x.size());
        auto run = [&](unsigned char *z, const unsigned char *x, const unsigned char *y) {
            switch (c.op) {
            case Plus: return xp_plus(n, z, x, y, c.in);
            case Minus: return xp_minus(n, z, x, y, c.in);
            case PlusDigit: return xp_plus_digit(n, z, x, c.in);
            case MinusDigit: return xp_minus_digit(n, z, x, c.in);
            case Negate: return xp_negate(n, z, x, c.in);
            }
            return -1;
        };
        Digits z = filled(n, 0xAA);
        Digits x = c.x, y = c.y;
        EXPECT_EQ(run(z.data(), x.data(), y.data()), c.out);
        EXPECT_EQ(z, c.z);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(run(x.data(), x.data(), y.data()), c.out) << "into x";
        EXPECT_EQ(x, c.z) << "into x";
        if (c.op == Plus || c.op == Minus) {
            x = c.x;
            EXPECT_EQ(run(y.data(), x.data(), y.data()), c.out) << "into y";
            EXPECT_EQ(y, c.z) << "into y";
        }
    }
}

TEST(XpCoreTest, TimesAndDivideDigitCases) {
    Digits x = {0xFF, 0xFF}, z(2);
    EXPECT_EQ(xp_times_digit(2, z.data(), x.data(), 255), 0xFEu);
    EXPECT_EQ(z, (Digits{0x01, 0xFF}));
    EXPECT_EQ(xp_times_digit(2, x.data(), x.data(), 0), 0u);
    EXPECT_EQ(x, (Digits{0, 0}));

    x = {0x01, 0x01};
    EXPECT_EQ(xp_divide_digit(2, z.data(), x.data(), 2), 1u);
    EXPECT_EQ(z, (Digits{0x80, 0x00}));
    EXPECT_EQ(xp_divide_digit(2, x.data(), x.data(), 2), 1u);
    EXPECT_EQ(x, (Digits{0x80, 0x00}));
    x = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(xp_divide_digit(3, x.data(), x.data(), 255), 0u);
    EXPECT_EQ(x, (Digits{0x01, 0x01, 0x01}));
}

TEST(XpCoreTest, CompareReturnsTopDifference) {
    struct Case {
        Digits x, y;
        int32_t expected;
    };
    const Case cases[] = {
        {{0x00, 0x05}, {0xFF, 0x03}, 2},
        {{0xFF, 0x03}, {0x00, 0x05}, -2},
        {{1, 2, 3}, {1, 2, 3}, 0},
        {{0x10, 7}, {0x03, 7}, 0x0D},
        {{0x00, 7}, {0xFF, 7}, -255},
        {{0, 0, 0xFF}, {0xFF, 0xFF, 0}, 255},
    };
    for (const Case &c : cases)
        EXPECT_EQ(xp_compare(static_cast<int32_t>(c.x.size()), c.x.data(), c.y.data()),
                  c.expected);
}

// ---------------------------------------------------------------------------
// Long multiplication and division: the specified cases

TEST(XpTimesTest, AccumulatesIntoZ) {
    Digits z(3, 0);
    const Digits x = {0xFF, 0xFF}, y = {0xFF};
    EXPECT_EQ(xp_times(z.data(), 2, x.data(), 1, y.data()), 0);
    EXPECT_EQ(z, (Digits{0x01, 0xFF, 0xFE}));

    Digits acc = {0xFF, 0xFF};
    const Digits one = {1};
    EXPECT_NE(xp_times(acc.data(), 1, one.data(), 1, one.data()), 0);
    EXPECT_EQ(acc, (Digits{0, 0}));

    // An accumulator that only overflows through the last carry propagation.
    Digits acc2 = {0x00, 0xFF, 0xFF};
    const Digits two = {2};
    EXPECT_NE(xp_times(acc2.data(), 1, two.data(), 2, (Digits{0x80, 0}).data()), 0);
    EXPECT_EQ(acc2, (Digits{0x00, 0x00, 0x00}));
}

struct DivideCase {
    const char *what;
    Digits x, y, q, r;
};

TEST(XpDivideTest, SpecifiedCases) {
    const DivideCase cases[] = {
        {"1000/600", {0xE8, 0x03}, {0x58, 0x02}, {0x01, 0x00}, {0x90, 0x01}},
        {"5/300", {0x05, 0x00}, {0x2C, 0x01}, {0x00, 0x00}, {0x05, 0x00}},
        {"100/7", {0x64, 0x00, 0x00}, {0x07, 0x00}, {0x0E, 0x00, 0x00}, {0x02, 0x00}},
        {"2^24/(2^16+255)", {0, 0, 0, 1}, {0xFF, 0x00, 0x01}, {0xFF, 0, 0, 0}, {0xFF, 0x01, 0}},
        {"leading zeros", {0x10, 0x27, 0, 0, 0}, {0x03, 0x01, 0, 0}, {0x26, 0, 0, 0, 0},
         {0x9E, 0, 0, 0}},
        {"one-digit divisor leading zeros", {0xFF, 0xFF, 0, 0}, {0x10, 0, 0}, {0xFF, 0x0F, 0, 0},
         {0x0F, 0, 0}},
    };
    for (const DivideCase &c : cases) {
        SCOPED_TRACE(c.what);
        const int32_t n = static_cast<int32_t>(c.x.size());
        const int32_t m = static_cast<int32_t>(c.y.size());
        Digits q = filled(n, 0xAA), r = filled(m, 0xAA), work = filled(n + m + 2, 0xAA);
        EXPECT_EQ(xp_divide(n, q.data(), c.x.data(), m, c.y.data(), r.data(), work.data()), 1);
        EXPECT_EQ(q, c.q);
        EXPECT_EQ(r, c.r);

        // Quotient into x's own array.
        Digits xq = c.x;
        r.assign(static_cast<size_t>(m), 0xAA);
        EXPECT_EQ(xp_divide(n, xq.data(), xq.data(), m, c.y.data(), r.data(), work.data()), 1);
        EXPECT_EQ(xq, c.q) << "q is x";
        EXPECT_EQ(r, c.r) << "q is x";

        // Remainder into x's own array, when it is at least m digits long.
        if (n >= m) {
            Digits xr = c.x;
            q.assign(static_cast<size_t>(n), 0xAA);
            EXPECT_EQ(xp_divide(n, q.data(), xr.data(), m, c.y.data(), xr.data(), work.data()),
                      1);
            EXPECT_EQ(q, c.q) << "r is x";
            EXPECT_EQ(Digits(xr.begin(), xr.begin() + m), c.r) << "r is x";
        }
    }
}

TEST(XpDivideTest, ZeroDivisorWritesNothing) {
    for (int32_t m : {1, 2, 5}) {
        const Digits x = {1, 2, 3}, y = filled(m, 0);
        Digits q = filled(3, 0xAA), r = filled(m, 0xBB), work = filled(3 + m + 2, 0);
        EXPECT_EQ(xp_divide(3, q.data(), x.data(), m, y.data(), r.data(), work.data()), 0);
        EXPECT_EQ(q, filled(3, 0xAA));
        EXPECT_EQ(r, filled(m, 0xBB));
    }
}

TEST(XpDivideTest, DivisorLengthBelowOneRaisesAtXp) {
    const Digits x = {1, 2, 3}, y = {1};
    for (int32_t m : {0, -1}) {
        Digits q = filled(3, 0xAA), r = filled(1, 0xBB), work(8, 0);
        expect_assertion_at_xp(raised_by(
            [&] { xp_divide(3, q.data(), x.data(), m, y.data(), r.data(), work.data()); }));
        EXPECT_EQ(q, filled(3, 0xAA));
        EXPECT_EQ(r, filled(1, 0xBB));
    }
}

// ---------------------------------------------------------------------------
// String conversion: the specified cases

TEST(XpParseTest, Cases) {
    struct Case {
        const char *str;
        int32_t base;
        int32_t n;
        uint64_t initial;
        uint64_t value;
        bool carry;
        ptrdiff_t end; // offset into str
    };
    const Case cases[] = {
        {"  12abc", 10, 4, 0, 12, false, 4},
        {"  12abc", 16, 4, 0, 0x12ABC, false, 7},
        {"ff", 16, 4, 0, 255, false, 2},
        {"FF", 16, 4, 0, 255, false, 2},
        {"fF", 16, 4, 0, 255, false, 2},
        {"z", 36, 4, 0, 35, false, 1},
        {"Z", 36, 4, 0, 35, false, 1},
        {"fg", 16, 4, 0, 15, false, 1},
        {"-5", 10, 4, 7, 7, false, 0},
        {"+5", 10, 4, 7, 7, false, 0},
        {"", 10, 4, 7, 7, false, 0},
        {"   ", 10, 4, 7, 7, false, 0},
        {" \t\n\v\f\r", 10, 4, 7, 7, false, 0},
        {"0x1f", 16, 4, 0, 0, false, 1},
        {"9", 8, 4, 7, 7, false, 0},
        {"19", 8, 4, 0, 1, false, 1},
        {"255", 10, 1, 0, 255, false, 3},
        {"256", 10, 1, 0, 0, true, 2},
        {"260", 10, 1, 0, 26 * 10 % 256, true, 2},
        {"65535", 10, 2, 0, 65535, false, 5},
        {"65536", 10, 2, 0, 0, true, 4},
        {"4294967295", 10, 4, 0, 4294967295u, false, 10},
        {"4294967296", 10, 4, 0, 0, true, 9},
        {"4294967300", 10, 4, 0, 429496730u * 10 % 4294967296u, true, 9},
        {"5", 10, 4, 1, 15, false, 1},
        {"\t 101 ", 2, 4, 0, 5, false, 5},
        {"12:3", 10, 4, 0, 12, false, 2},  // ':' follows '9'
        {"1@A", 16, 4, 0, 1, false, 1},    // '@' precedes 'A'
        {"1[", 36, 4, 0, 1, false, 1},     // '[' follows 'Z'
        {"1`a", 36, 4, 0, 1, false, 1},    // '`' precedes 'a'
        {"1{", 36, 4, 0, 1, false, 1},     // '{' follows 'z'
        {"1/", 36, 4, 0, 1, false, 1},     // '/' precedes '0'
        {"\xA0" "5", 10, 4, 7, 7, false, 0}, // high-bit byte is not white space
        {"5\xC3", 10, 4, 0, 5, false, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.str);
        SCOPED_TRACE(c.base);
        Digits z(static_cast<size_t>(c.n));
        xp_from_uint(c.n, z.data(), c.initial);
        char *end = nullptr;
        const int32_t carry = xp_parse(c.n, z.data(), c.str, c.base, &end);
        EXPECT_EQ(carry != 0, c.carry) << carry;
        EXPECT_EQ(xp_to_uint(c.n, z.data()), c.value);
        EXPECT_EQ(end - c.str, c.end);
        // Without an end pointer the result is the same.
        xp_from_uint(c.n, z.data(), c.initial);
        EXPECT_EQ(xp_parse(c.n, z.data(), c.str, c.base, nullptr), carry);
        EXPECT_EQ(xp_to_uint(c.n, z.data()), c.value);
    }
}

TEST(XpParseTest, CarryIsTheDigitThatLeftTheTop) {
    // 0x1FF * 16 over one digit: the product's carry is 0x1F.
    Digits z = {0xFF};
    char *end = nullptr;
    const char *s = "F0";
    EXPECT_EQ(xp_parse(1, z.data(), s, 16, &end), 0x0F);
    EXPECT_EQ(z[0], 0xF0);
    EXPECT_EQ(end, s);
    // In base 2: 0x7F * 2 + 1 = 0xFF fits, then 0xFF * 2 carries 1 out.
    z = {0x7F};
    s = "11";
    EXPECT_EQ(xp_parse(1, z.data(), s, 2, &end), 1);
    EXPECT_EQ(z[0], 0xFE);
    EXPECT_EQ(end, s + 1);
}

TEST(XpParseTest, SumCarryStopsAtTheDigit) {
    // 25 * 10 = 250 fits; 250 + 9 does not: the sum carries 1 and z keeps 259 - 256.
    Digits z = {0};
    char *end = nullptr;
    const char *s = "259x";
    EXPECT_EQ(xp_parse(1, z.data(), s, 10, &end), 1);
    EXPECT_EQ(z[0], 3);
    EXPECT_EQ(end, s + 2);
}

TEST(XpParseTest, NoDigitsOfStoragePassesOverTheNumber) {
    unsigned char guard = 0x5A;
    char *end = nullptr;
    const char *s = " 123456789012345678901234567890!";
    EXPECT_EQ(xp_parse(0, &guard, s, 10, &end), 0);
    EXPECT_EQ(guard, 0x5A);
    EXPECT_EQ(end, s + 31);
}

TEST(XpParseTest, PreconditionsRaiseAtXp) {
    Digits z = {9, 9};
    char *end = nullptr;
    expect_assertion_at_xp(raised_by([&] { xp_parse(2, z.data(), nullptr, 10, &end); }));
    for (int32_t base : {-1, 0, 1, 37, 256}) {
        SCOPED_TRACE(base);
        expect_assertion_at_xp(raised_by([&] { xp_parse(2, z.data(), "1", base, &end); }));
    }
    EXPECT_EQ(z, (Digits{9, 9}));
    EXPECT_EQ(end, nullptr);
    // Null is tested before the base.
    ExceptionFrame null_str = raised_by([&] { xp_parse(2, z.data(), nullptr, 99, nullptr); });
    ExceptionFrame bad_base = raised_by([&] { xp_parse(2, z.data(), "1", 99, nullptr); });
    EXPECT_LT(null_str.line, bad_base.line);
}

TEST(XpRenderTest, Cases) {
    struct Case {
        Digits x;
        int32_t base;
        const char *expected;
    };
    const Case cases[] = {
        {{0}, 10, "0"},
        {{0, 0, 0}, 16, "0"},
        {{0xFF}, 10, "255"},
        {{0xFF}, 16, "FF"},
        {{0xFF}, 2, "11111111"},
        {{0xFF}, 36, "73"},
        {{0x00, 0x01}, 16, "100"},
        {{0xFF, 0, 0, 0}, 10, "255"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 10, "18446744073709551615"},
        {{0x22, 0x01}, 35, "8A"},
        {{0x01, 0, 0, 0, 0, 0, 0, 0, 1}, 16, "10000000000000001"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        Digits x = c.x;
        char buf[80];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(xp_render(buf, static_cast<int32_t>(std::strlen(c.expected)) + 1, c.base,
                            static_cast<int32_t>(x.size()), x.data()),
                  buf);
        EXPECT_STREQ(buf, c.expected);
        EXPECT_EQ(x, Digits(c.x.size(), 0));
    }
}

TEST(XpRenderTest, BufferTooSmall) {
    struct Case {
        int32_t size;
        bool raises;
        std::string stored; // what the buffer holds afterwards
    };
    const Case cases[] = {
        {4, false, std::string("255\0", 4)},
        {3, true, "552#"},  // every digit, reversed order, no NUL
        {2, true, "55##"},  // the third digit found no room
        {1, true, "5###"},
        {0, true, "####"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        Digits x = {0xFF};
        char buf[4];
        std::memset(buf, '#', sizeof buf);
        ExceptionFrame f = raised_by([&] { xp_render(buf, c.size, 10, 1, x.data()); });
        if (c.raises)
            expect_assertion_at_xp(f);
        else
            EXPECT_EQ(f.exception, nullptr);
        EXPECT_EQ(std::string(buf, 4), c.stored);
    }
    // The quotient reached so far stays in x: 0x1234 = 4660; the third digit
    // (6) has been divided out when the raise comes.
    Digits x = {0x34, 0x12};
    char buf[2];
    expect_assertion_at_xp(raised_by([&] { xp_render(buf, 2, 10, 2, x.data()); }));
    EXPECT_EQ(xp_to_uint(2, x.data()), 4u);
    // Size 2 for zero is enough.
    x = {0, 0};
    EXPECT_STREQ(xp_render(buf, 2, 10, 2, x.data()), "0");
}

TEST(XpRenderTest, PreconditionsRaiseAtXp) {
    Digits x = {5};
    char buf[8] = "keep";
    expect_assertion_at_xp(raised_by([&] { xp_render(nullptr, 8, 10, 1, x.data()); }));
    for (int32_t base : {-1, 0, 1, 37}) {
        SCOPED_TRACE(base);
        expect_assertion_at_xp(raised_by([&] { xp_render(buf, 8, base, 1, x.data()); }));
    }
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(x[0], 5);
    ExceptionFrame null_str = raised_by([&] { xp_render(nullptr, 8, 99, 1, x.data()); });
    ExceptionFrame bad_base = raised_by([&] { xp_render(buf, 8, 99, 1, x.data()); });
    EXPECT_LT(null_str.line, bad_base.line);
}

TEST(XpDigitTablesTest, MapAndCharsAgree) {
    EXPECT_STREQ(xp_digit_chars, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    for (int c = '0'; c <= 'z'; c++) {
        SCOPED_TRACE(c);
        const char *at = std::strchr(xp_digit_chars, std::toupper(c));
        const int expected = at != nullptr ? static_cast<int>(at - xp_digit_chars) : 36;
        EXPECT_EQ(xp_digit_map[c - '0'], expected);
    }
}

// ---------------------------------------------------------------------------
// Shifts: the specified cases

TEST(XpShiftTest, Cases) {
    struct Case {
        bool left;
        int32_t n;
        Digits x;
        int32_t s, fill;
        Digits z;
    };
    const Case cases[] = {
        {true, 2, {0x81, 0x01}, 1, 0, {0x02, 0x03}},
        {true, 2, {0x81, 0x01}, 1, 1, {0x03, 0x03}},
        {true, 3, {0x34, 0x12, 0x00}, 12, 0, {0x00, 0x40, 0x23}},
        {true, 3, {0x34, 0x12, 0x00}, 12, 1, {0xFF, 0x4F, 0x23}},
        {true, 2, {0x34, 0x12}, 16, 0, {0x00, 0x00}},
        {true, 2, {0x34, 0x12}, 16, 1, {0xFF, 0xFF}},
        {true, 2, {0x34, 0x12}, 1000, 1, {0xFF, 0xFF}},
        {true, 4, {0x34, 0x12}, 8, 0, {0x00, 0x34, 0x12, 0x00}},
        {true, 4, {0x34, 0x12}, 8, 1, {0xFF, 0x34, 0x12, 0x00}},
        {true, 2, {0x01, 0x02, 0x03, 0x04}, 8, 0, {0x00, 0x01}},
        {true, 2, {0x81, 0x01}, 0, 1, {0x81, 0x01}},
        {false, 2, {0x03, 0x02}, 1, 0, {0x01, 0x01}},
        {false, 2, {0x03, 0x02}, 1, 1, {0x01, 0x81}},
        {false, 3, {0x00, 0x00, 0x80}, 12, 1, {0x00, 0xF8, 0xFF}},
        {false, 2, {0x34, 0x12}, 20, 0, {0x00, 0x00}},
        {false, 2, {0x34, 0x12}, 20, 1, {0xFF, 0xFF}},
        {false, 4, {0x34, 0x12}, 4, 1, {0x23, 0xF1, 0xFF, 0xFF}},
        {false, 4, {0x34, 0x12}, 4, 0, {0x23, 0x01, 0x00, 0x00}},
        {false, 2, {0x01, 0x02, 0x03, 0x04}, 8, 0, {0x02, 0x03}},
        {false, 2, {0x81, 0x01}, 0, 1, {0x81, 0x01}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.left ? "left " : "right ") << c.s << " fill "
                                        << c.fill << " n " << c.n);
        const int32_t m = static_cast<int32_t>(c.x.size());
        Digits z = filled(c.n, 0xAA);
        if (c.left)
            xp_shift_left(c.n, z.data(), m, c.x.data(), c.s, c.fill);
        else
            xp_shift_right(c.n, z.data(), m, c.x.data(), c.s, c.fill);
        EXPECT_EQ(z, c.z);
    }
}

TEST(XpShiftTest, InPlace) {
    Digits x = {0x81, 0x01};
    xp_shift_left(2, x.data(), 2, x.data(), 9, 0);
    EXPECT_EQ(x, (Digits{0x00, 0x02}));
    x = {0x81, 0x01};
    xp_shift_right(2, x.data(), 2, x.data(), 9, 0);
    EXPECT_EQ(x, (Digits{0x00, 0x00}));
}

} // namespace
} // namespace lexspot

// SPDX-License-Identifier: MIT

#include <lexspot/xp.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gmp.h>
#include <gmpxx.h>
#include <gtest/gtest.h>

#include "test_support.hpp"
#include <lexspot/assert.hpp>

namespace lexspot {
namespace {

using Digits = std::vector<unsigned char>;

void expect_assertion_at_xp(const ExceptionFrame &f) {
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/xp.cpp");
    EXPECT_GT(f.line, 0);
}

Digits filled(int32_t n, unsigned char v) {
    return Digits(static_cast<size_t>(n), v);
}

// ---------------------------------------------------------------------------
// Core primitives: worked examples

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
        EXPECT_EQ(xp_significant_length(static_cast<int32_t>(c.x.size()), c.x.data()), c.expected);
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

// No caller passes a length below 1; should one slip through, no digit outside
// the arrays is read or written. z and x sit inside guarded buffers, so a
// write at z[-1] or z[0] shows.
TEST(XpCoreTest, LengthsBelowOneTouchNoDigit) {
    for (int32_t n : {0, -1, -7}) {
        SCOPED_TRACE(n);
        Digits zbuf = filled(16, 0x5A);
        unsigned char *const z = zbuf.data() + 8;
        Digits xbuf(16);
        for (size_t i = 0; i < xbuf.size(); i++) // distinct, so a stray read shows too
            xbuf[i] = static_cast<unsigned char>(0x30 + i);
        const unsigned char *const x = xbuf.data() + 8;

        EXPECT_EQ(xp_to_uint(n, x), 0u);
        EXPECT_EQ(xp_significant_length(n, x), n);
        EXPECT_EQ(xp_divide_digit(n, z, x, 3), 0u);
        EXPECT_EQ(xp_times(z, n, x, 2, x), 0);
        EXPECT_EQ(xp_times(z, 2, x, n, x), 0);
        EXPECT_EQ(xp_compare(n, x, x + 1), 0);
        EXPECT_EQ(xp_from_uint(n, z, 0x1234), 0x1234u);
        xp_plus(n, z, x, x, 1);
        xp_minus(n, z, x, x, 1);
        xp_plus_digit(n, z, x, 7);
        xp_minus_digit(n, z, x, 7);
        xp_negate(n, z, x, 1);
        xp_times_digit(n, z, x, 3);
        for (int32_t fill = 0; fill <= 1; fill++) {
            xp_shift_left(n, z, 2, x, 3, fill);
            xp_shift_right(n, z, 2, x, 3, fill);
            xp_shift_left(n, z, 2, x, 16, fill);
            xp_shift_right(n, z, 2, x, 16, fill);
        }
        EXPECT_EQ(zbuf, filled(16, 0x5A));
    }
}

TEST(XpCoreTest, CompareReturnsTopDifference) {
    struct Case {
        Digits x, y;
        int32_t expected;
    };
    const Case cases[] = {
        {{0x00, 0x05}, {0xFF, 0x03}, 2}, {{0xFF, 0x03}, {0x00, 0x05}, -2},
        {{1, 2, 3}, {1, 2, 3}, 0},       {{0x10, 7}, {0x03, 7}, 0x0D},
        {{0x00, 7}, {0xFF, 7}, -255},    {{0, 0, 0xFF}, {0xFF, 0xFF, 0}, 255},
    };
    for (const Case &c : cases)
        EXPECT_EQ(xp_compare(static_cast<int32_t>(c.x.size()), c.x.data(), c.y.data()), c.expected);
}

// ---------------------------------------------------------------------------
// Long multiplication and division: worked examples

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

TEST(XpDivideTest, WorkedExamples) {
    const DivideCase cases[] = {
        {"1000/600", {0xE8, 0x03}, {0x58, 0x02}, {0x01, 0x00}, {0x90, 0x01}},
        {"5/300", {0x05, 0x00}, {0x2C, 0x01}, {0x00, 0x00}, {0x05, 0x00}},
        {"100/7", {0x64, 0x00, 0x00}, {0x07, 0x00}, {0x0E, 0x00, 0x00}, {0x02, 0x00}},
        {"2^24/(2^16+255)", {0, 0, 0, 1}, {0xFF, 0x00, 0x01}, {0xFF, 0, 0, 0}, {0xFF, 0x01, 0}},
        {"leading zeros",
         {0x10, 0x27, 0, 0, 0},
         {0x03, 0x01, 0, 0},
         {0x26, 0, 0, 0, 0},
         {0x9E, 0, 0, 0}},
        {"one-digit divisor leading zeros",
         {0xFF, 0xFF, 0, 0},
         {0x10, 0, 0},
         {0xFF, 0x0F, 0, 0},
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
            EXPECT_EQ(xp_divide(n, q.data(), xr.data(), m, c.y.data(), xr.data(), work.data()), 1);
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

// Also when the dividend is shorter still: a dividend-shorter-than-divisor path
// taken first would clear r[n] to r[m - 1], below r itself.
TEST(XpDivideTest, DivisorLengthBelowOneRaisesAtXp) {
    const Digits x = {1, 2, 3}, y = {1};
    for (int32_t n : {3, 0, -3}) {
        for (int32_t m : {0, -1}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " m " << m);
            Digits q = filled(3, 0xAA), rbuf = filled(8, 0xBB), work(8, 0);
            expect_assertion_at_xp(raised_by([&] {
                xp_divide(n, q.data(), x.data(), m, y.data(), rbuf.data() + 4, work.data());
            }));
            EXPECT_EQ(q, filled(3, 0xAA));
            EXPECT_EQ(rbuf, filled(8, 0xBB));
        }
    }
}

// ---------------------------------------------------------------------------
// String conversion: worked examples

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
        {"12:3", 10, 4, 0, 12, false, 2}, // ':' follows '9'
        {"1@A", 16, 4, 0, 1, false, 1},   // '@' precedes 'A'
        {"1[", 36, 4, 0, 1, false, 1},    // '[' follows 'Z'
        {"1`a", 36, 4, 0, 1, false, 1},   // '`' precedes 'a'
        {"1{", 36, 4, 0, 1, false, 1},    // '{' follows 'z'
        {"1/", 36, 4, 0, 1, false, 1},    // '/' precedes '0'
        {"\xA0"
         "5",
         10, 4, 7, 7, false, 0}, // high-bit byte is not white space
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
        {3, true, "552#"}, // every digit, reversed order, no NUL
        {2, true, "55##"}, // the third digit found no room
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
    // An array of no digits is zero, and none of it is read.
    EXPECT_STREQ(xp_render(buf, 2, 10, 0, nullptr), "0");
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
// Shifts: worked examples

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
        // An operand reaching past z shifts its own bits, not the fill, into
        // z's top digit.
        {false, 1, {0x00, 0x01}, 1, 0, {0x80}},
        {false, 1, {0x00, 0x00}, 1, 1, {0x00}},
        {false, 2, {0x00, 0x10, 0x0A, 0xFF}, 12, 1, {0xA1, 0xF0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.left ? "left " : "right ") << c.s << " fill " << c.fill << " n " << c.n);
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

// ---------------------------------------------------------------------------
// Differential tests against GMP

// An owned GMP integer.
struct Big {
    mpz_t v;
    Big() { mpz_init(v); }
    explicit Big(const Digits &d) : Big() { set(d.data(), static_cast<int32_t>(d.size())); }
    ~Big() { mpz_clear(v); }
    Big(const Big &) = delete;
    Big &operator=(const Big &) = delete;
    operator mpz_ptr() { return v; }
    operator mpz_srcptr() const { return v; }
    void set(const unsigned char *p, int32_t n) {
        mpz_import(v, static_cast<size_t>(n), -1, 1, 0, 0, p);
    }
};

// The low n digits of v (v reduced modulo 256^n first).
Digits digits_of(mpz_srcptr v, int32_t n) {
    Big low;
    mpz_fdiv_r_2exp(low, v, 8 * static_cast<mp_bitcnt_t>(n));
    Digits d(static_cast<size_t>(n), 0);
    size_t count = 0;
    mpz_export(d.data(), &count, -1, 1, 0, 0, low);
    return d;
}

// The low 64 bits of v as a number, assembled from its digits, so that
// neither the width of unsigned long nor the host's byte order matters.
uint64_t low_word(mpz_srcptr v) {
    const Digits d = digits_of(v, 8);
    uint64_t word = 0;
    for (size_t i = d.size(); i-- > 0;)
        word = word << 8 | d[i];
    return word;
}

// v / 256^n, the part above n digits (its low 64 bits).
uint64_t above(mpz_srcptr v, int32_t n) {
    Big high;
    mpz_fdiv_q_2exp(high, v, 8 * static_cast<mp_bitcnt_t>(n));
    return low_word(high);
}

enum class Shape { Zero, AllFF, SingleDigit, LeadingZeros, Random };
constexpr Shape all_shapes[] = {Shape::Zero, Shape::AllFF, Shape::SingleDigit, Shape::LeadingZeros,
                                Shape::Random};

const char *shape_name(Shape s) {
    switch (s) {
    case Shape::Zero: return "zero";
    case Shape::AllFF: return "all FF";
    case Shape::SingleDigit: return "single digit";
    case Shape::LeadingZeros: return "leading zeros";
    case Shape::Random: return "random";
    }
    return "?";
}

int32_t uniform(std::mt19937_64 &rng, int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
}

Digits make(Shape shape, int32_t n, std::mt19937_64 &rng) {
    Digits d(static_cast<size_t>(n), 0);
    switch (shape) {
    case Shape::Zero: break;
    case Shape::AllFF: std::fill(d.begin(), d.end(), 0xFF); break;
    case Shape::SingleDigit:
        d[static_cast<size_t>(uniform(rng, 0, n - 1))] =
            static_cast<unsigned char>(uniform(rng, 1, 255));
        break;
    case Shape::LeadingZeros: {
        const int32_t len = n > 1 ? uniform(rng, 1, n - 1) : 1;
        for (int32_t i = 0; i < len; i++)
            d[static_cast<size_t>(i)] = static_cast<unsigned char>(uniform(rng, 0, 255));
        d[static_cast<size_t>(len - 1)] = static_cast<unsigned char>(uniform(rng, 1, 255));
        break;
    }
    case Shape::Random:
        for (unsigned char &c : d)
            c = static_cast<unsigned char>(uniform(rng, 0, 255));
        break;
    }
    return d;
}

// A digit argument that stresses carries: 0, 1, 255 or random.
int32_t some_digit(std::mt19937_64 &rng, int32_t lo = 0) {
    switch (uniform(rng, 0, 3)) {
    case 0: return lo;
    case 1: return 1;
    case 2: return 255;
    default: return uniform(rng, lo, 255);
    }
}

// Runs op into a separate z and then into each array in `aliases` (indexes
// into the operand list), checking the same digits and result each time
// against the oracle's. op(z, operands) -> result.
template <typename Op>
void check_forms(Compared &gmp, int32_t n, const std::vector<Digits> &operands,
                 const std::vector<int> &aliases, const Digits &expected, int64_t expected_result,
                 Op op) {
    Digits z(static_cast<size_t>(n), 0xA5);
    std::vector<Digits> in = operands;
    EXPECT_PRED_FORMAT2(gmp, op(z.data(), in), expected_result) << "separate";
    EXPECT_PRED_FORMAT2(gmp, z, expected) << "separate";
    EXPECT_EQ(in, operands) << "operands changed";
    for (int a : aliases) {
        in = operands;
        EXPECT_PRED_FORMAT2(gmp, op(in[static_cast<size_t>(a)].data(), in), expected_result)
            << "into operand " << a;
        EXPECT_PRED_FORMAT2(gmp, in[static_cast<size_t>(a)], expected) << "into operand " << a;
    }
}

// xp_plus and xp_minus of x and y and xp_negate of x, each with carry (or
// borrow) c, against GMP, in every form check_forms runs.
void check_add_subtract_negate(Compared &gmp, int32_t n, const Digits &x, const Digits &y,
                               int32_t c) {
    const Big bx(x), by(y);
    Big e;
    mpz_add(e, bx, by);
    mpz_add_ui(e, e, static_cast<unsigned long>(c));
    check_forms(gmp, n, {x, y}, {0, 1}, digits_of(e, n), static_cast<int64_t>(above(e, n)),
                [&](unsigned char *z, std::vector<Digits> &in) {
                    return xp_plus(n, z, in[0].data(), in[1].data(), c);
                });

    mpz_sub(e, bx, by);
    mpz_sub_ui(e, e, static_cast<unsigned long>(c));
    check_forms(gmp, n, {x, y}, {0, 1}, digits_of(e, n), mpz_sgn(e.v) < 0,
                [&](unsigned char *z, std::vector<Digits> &in) {
                    return xp_minus(n, z, in[0].data(), in[1].data(), c);
                });

    // complement + carry = 256^n - 1 - x + carry
    mpz_set_ui(e, 0);
    mpz_setbit(e, 8 * static_cast<mp_bitcnt_t>(n));
    mpz_sub_ui(e, e, 1);
    mpz_sub(e, e, bx);
    mpz_add_ui(e, e, static_cast<unsigned long>(c));
    check_forms(gmp, n, {x}, {0}, digits_of(e, n), static_cast<int64_t>(above(e, n)),
                [&](unsigned char *z, std::vector<Digits> &in) {
                    return xp_negate(n, z, in[0].data(), c);
                });
}

// xp_plus_digit and xp_minus_digit of x and the digit d against GMP.
void check_plus_minus_digit(Compared &gmp, int32_t n, const Digits &x, int32_t d) {
    const Big bx(x);
    Big e;
    mpz_add_ui(e, bx, static_cast<unsigned long>(d));
    check_forms(gmp, n, {x}, {0}, digits_of(e, n), static_cast<int64_t>(above(e, n)),
                [&](unsigned char *z, std::vector<Digits> &in) {
                    return xp_plus_digit(n, z, in[0].data(), d);
                });
    mpz_sub_ui(e, bx, static_cast<unsigned long>(d));
    check_forms(gmp, n, {x}, {0}, digits_of(e, n), mpz_sgn(e.v) < 0,
                [&](unsigned char *z, std::vector<Digits> &in) {
                    return xp_minus_digit(n, z, in[0].data(), d);
                });
}

TEST(XpDifferentialTest, AddSubtractNegateAgainstGmp) {
    std::mt19937_64 rng(0x5eed0001);
    Compared gmp("results against GMP");
    for (int32_t n = 1; n <= 40; n++) {
        for (Shape sx : all_shapes) {
            for (Shape sy : all_shapes) {
                SCOPED_TRACE(testing::Message()
                             << "n " << n << " x " << shape_name(sx) << " y " << shape_name(sy));
                const Digits x = make(sx, n, rng);
                // Equal operands now and then, the hardest case for a borrow.
                const Digits y = uniform(rng, 0, 7) == 0 ? x : make(sy, n, rng);
                for (int32_t c = 0; c <= 1; c++)
                    check_add_subtract_negate(gmp, n, x, y, c);
                check_plus_minus_digit(gmp, n, x, some_digit(rng));
            }
        }
    }
}

TEST(XpDifferentialTest, DigitProductQuotientCompareAgainstGmp) {
    std::mt19937_64 rng(0x5eed0002);
    Compared gmp("results against GMP");
    for (int32_t n = 1; n <= 40; n++) {
        for (Shape sx : all_shapes) {
            for (Shape sy : all_shapes) {
                SCOPED_TRACE(testing::Message()
                             << "n " << n << " x " << shape_name(sx) << " y " << shape_name(sy));
                const Digits x = make(sx, n, rng);
                const Big bx(x);
                Big e, rem;

                const uint32_t d = static_cast<uint32_t>(some_digit(rng));
                mpz_mul_ui(e, bx, d);
                check_forms(gmp, n, {x}, {0}, digits_of(e, n), static_cast<int64_t>(above(e, n)),
                            [&](unsigned char *z, std::vector<Digits> &in) {
                                return xp_times_digit(n, z, in[0].data(), d);
                            });

                const uint32_t v = static_cast<uint32_t>(some_digit(rng, 1));
                mpz_tdiv_qr_ui(e, rem, bx, v);
                check_forms(gmp, n, {x}, {0}, digits_of(e, n),
                            static_cast<int64_t>(mpz_get_ui(rem)),
                            [&](unsigned char *z, std::vector<Digits> &in) {
                                return xp_divide_digit(n, z, in[0].data(), v);
                            });

                // Compare: the sign, and the difference at the top differing digit.
                Digits y = make(sy, n, rng);
                if (uniform(rng, 0, 3) == 0) { // differ only low, or not at all
                    y = x;
                    const size_t at = static_cast<size_t>(uniform(rng, 0, n - 1));
                    y[at] = static_cast<unsigned char>(uniform(rng, 0, 255));
                }
                const Big by(y);
                Big diff;
                mpz_xor(diff, bx, by);
                const int32_t got = xp_compare(n, x.data(), y.data());
                if (mpz_sgn(diff.v) == 0) {
                    EXPECT_PRED_FORMAT2(gmp, got, 0);
                } else {
                    const size_t top = (mpz_sizeinbase(diff, 2) - 1) / 8;
                    EXPECT_PRED_FORMAT2(
                        gmp, got, static_cast<int32_t>(x[top]) - static_cast<int32_t>(y[top]));
                    EXPECT_PRED_FORMAT2(gmp, got > 0, mpz_cmp(bx, by) > 0);
                }

                const int32_t expected_len =
                    mpz_sgn(bx.v) == 0 ? 1 : static_cast<int32_t>((mpz_sizeinbase(bx, 2) + 7) / 8);
                EXPECT_PRED_FORMAT2(gmp, xp_significant_length(n, x.data()), expected_len);
            }
        }
    }
}

TEST(XpDifferentialTest, MachineWordsAgainstGmp) {
    std::mt19937_64 rng(0x5eed0003);
    Compared gmp("results against GMP");
    for (int32_t n = 1; n <= 12; n++) {
        for (int rep = 0; rep < 200; rep++) {
            // Words of every byte length, so that they straddle n.
            const int bytes = uniform(rng, 0, 8);
            const uint64_t u = bytes == 0 ? 0 : rng() >> (64 - 8 * bytes);
            Big bu;
            mpz_import(bu, 1, -1, sizeof u, 0, 0, &u);
            Digits z(static_cast<size_t>(n), 0xA5);
            EXPECT_PRED_FORMAT2(gmp, xp_from_uint(n, z.data(), u), above(bu, n)) << n << " " << u;
            EXPECT_PRED_FORMAT2(gmp, z, digits_of(bu, n)) << n << " " << u;

            const Digits x = make(all_shapes[rep % 5], n, rng);
            EXPECT_PRED_FORMAT2(gmp, xp_to_uint(n, x.data()), low_word(Big(x)));
        }
    }
}

TEST(XpDifferentialTest, TimesAgainstGmp) {
    std::mt19937_64 rng(0x5eed0004);
    Compared gmp("results against GMP");
    int overflows = 0;
    for (int32_t n = 1; n <= 40; n++) {
        for (int32_t m = 1; m <= 40; m++) {
            for (int rep = 0; rep < 4; rep++) {
                const Shape sx = all_shapes[uniform(rng, 0, 4)];
                const Shape sy = all_shapes[uniform(rng, 0, 4)];
                SCOPED_TRACE(testing::Message() << "n " << n << " m " << m << " x "
                                                << shape_name(sx) << " y " << shape_name(sy));
                const Digits x = make(sx, n, rng), y = make(sy, m, rng);
                // A cleared accumulator, or one that stresses the carry out.
                const Digits z0 = rep == 0 ? Digits(static_cast<size_t>(n + m), 0)
                                           : make(all_shapes[rep], n + m, rng);
                Big e;
                mpz_mul(e, Big(x), Big(y));
                mpz_add(e, e, Big(z0));
                const bool overflow = mpz_sizeinbase(e, 2) > 8 * static_cast<size_t>(n + m);
                overflows += overflow;
                Digits z = z0;
                const int32_t result = xp_times(z.data(), n, x.data(), m, y.data());
                EXPECT_PRED_FORMAT2(gmp, result != 0, overflow);
                EXPECT_PRED_FORMAT2(gmp, z, digits_of(e, n + m));
            }
        }
    }
    EXPECT_GT(overflows, 0);
}

// Divides in the three allowed forms (separate, q in x, r in x) with every
// array sized exactly, and checks q and r against GMP.
void check_divide(Compared &gmp, const Digits &x, const Digits &y) {
    const int32_t n = static_cast<int32_t>(x.size());
    const int32_t m = static_cast<int32_t>(y.size());
    const Big bx(x), by(y);
    const bool zero = mpz_sgn(by.v) == 0;
    Big eq, er;
    if (!zero)
        mpz_tdiv_qr(eq, er, bx, by);
    const Digits q_expected = zero ? Digits(static_cast<size_t>(n), 0xA5) : digits_of(eq, n);
    const Digits r_expected = zero ? Digits(static_cast<size_t>(m), 0x5A) : digits_of(er, m);
    const int32_t returned = zero ? 0 : 1;
    const int32_t nx = xp_significant_length(n, x.data());
    const int32_t my = xp_significant_length(m, y.data());
    const size_t work_size = static_cast<size_t>(nx + my + 2);

    {
        Digits q(static_cast<size_t>(n), 0xA5), r(static_cast<size_t>(m), 0x5A);
        std::unique_ptr<unsigned char[]> work(new unsigned char[work_size]);
        EXPECT_PRED_FORMAT2(
            gmp, xp_divide(n, q.data(), x.data(), m, y.data(), r.data(), work.get()), returned);
        EXPECT_PRED_FORMAT2(gmp, q, q_expected) << "separate";
        EXPECT_PRED_FORMAT2(gmp, r, r_expected) << "separate";
        if (!zero) { // q * y + r = x and r < y
            Big back;
            mpz_mul(back, Big(q), by);
            mpz_add(back, back, Big(r));
            EXPECT_EQ(mpz_cmp(back, bx), 0);
            EXPECT_LT(mpz_cmp(Big(r), by), 0);
        }
    }
    {
        Digits qx = x, r(static_cast<size_t>(m), 0x5A);
        std::unique_ptr<unsigned char[]> work(new unsigned char[work_size]);
        EXPECT_PRED_FORMAT2(
            gmp, xp_divide(n, qx.data(), qx.data(), m, y.data(), r.data(), work.get()), returned);
        EXPECT_PRED_FORMAT2(gmp, qx, zero ? x : q_expected) << "q is x";
        EXPECT_PRED_FORMAT2(gmp, r, r_expected) << "q is x";
    }
    {
        // r in x's array, which then needs room for max(n, m) digits.
        Digits rx = x;
        rx.resize(static_cast<size_t>(std::max(n, m)), 0x77);
        const Digits before = rx;
        Digits q(static_cast<size_t>(n), 0xA5);
        std::unique_ptr<unsigned char[]> work(new unsigned char[work_size]);
        EXPECT_PRED_FORMAT2(
            gmp, xp_divide(n, q.data(), rx.data(), m, y.data(), rx.data(), work.get()), returned);
        EXPECT_PRED_FORMAT2(gmp, q, q_expected) << "r is x";
        EXPECT_PRED_FORMAT2(gmp, Digits(rx.begin(), rx.begin() + m),
                            zero ? Digits(before.begin(), before.begin() + m) : r_expected)
            << "r is x";
    }
}

TEST(XpDifferentialTest, DivideEveryLengthPairAgainstGmp) {
    std::mt19937_64 rng(0x5eed0005);
    Compared gmp("results against GMP");
    for (int32_t n = 1; n <= 40; n++) {
        for (int32_t m = 1; m <= 40; m++) {
            for (int rep = 0; rep < 6; rep++) {
                const Shape sx = rep < 5 ? all_shapes[rep] : Shape::Random;
                const Shape sy = all_shapes[uniform(rng, 0, 4)];
                SCOPED_TRACE(testing::Message() << "n " << n << " m " << m << " x "
                                                << shape_name(sx) << " y " << shape_name(sy));
                const Digits x = make(sx, n, rng), y = make(sy, m, rng);
                check_divide(gmp, x, y);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// The long division's steps. For a divisor of more than one word, each step
// of xp_divide divides a window of the running remainder, below y * 2^w, by
// y, where w is the bits of the library's word: 64 where the compiler has a
// 128-bit type, else 32. With s = bits(y) - w, the step's first estimate is
// the window's two words at bit s divided by y_top = floor(y / 2^s), or all
// ones when the window's top word is y_top; the refinement lowers it while
// it times y's top two words exceeds the window's top three; and y is added
// back once when the estimate was still one too large. Random operands
// seldom need these corrections, so the cases below are built to need them,
// for both word sizes: each build meets those built for its own word, and
// divides the others as plain cases.

// A random value of `bits` bits, its top bit set.
mpz_class random_bits(long bits, std::mt19937_64 &rng) {
    const auto digits = static_cast<int32_t>((bits + 7) / 8);
    mpz_class v;
    mpz_import(v.get_mpz_t(), static_cast<size_t>(digits), -1, 1, 0, 0,
               make(Shape::Random, digits, rng).data());
    v &= (mpz_class(1) << bits) - 1;
    mpz_setbit(v.get_mpz_t(), static_cast<mp_bitcnt_t>(bits - 1));
    return v;
}

// A random value from lo to hi.
mpz_class random_between(const mpz_class &lo, const mpz_class &hi, std::mt19937_64 &rng) {
    const mpz_class span = hi - lo + 1;
    return lo +
           random_bits(static_cast<long>(mpz_sizeinbase(span.get_mpz_t(), 2)) + 64, rng) % span;
}

// What a step's estimate does with w-bit words, for a window below y * 2^w,
// worked out in GMP: how far the first estimate and the refined one lie above
// the true quotient (a large number when far), whether the first estimate is
// all ones, and whether the refinement stopped because its running remainder
// passed a word.
struct Estimate {
    bool all_ones = false;
    long first_over = 0;
    long refined_over = 0;
    bool remainder_passed_word = false;
};

Estimate estimate_of(const mpz_class &window, const mpz_class &y, int w) {
    // v / 2^k, or v * 2^-k for k below 0: reading at a bit offset below 0
    // reads zeros there.
    const auto at = [](const mpz_class &v, long k) -> mpz_class {
        return k >= 0 ? mpz_class(v >> k) : mpz_class(v << -k);
    };
    const auto excess = [](const mpz_class &d) { return abs(d) <= 8 ? d.get_si() : 1000; };
    const long s = static_cast<long>(mpz_sizeinbase(y.get_mpz_t(), 2)) - w;
    const mpz_class word = mpz_class(1) << w;
    const mpz_class y_top = at(y, s), y_next = at(y, s - w) % word;
    const mpz_class u_two = at(window, s), u_next = at(window, s - w) % word;
    const mpz_class q = window / y;

    Estimate e;
    e.all_ones = (u_two >> w) >= y_top;
    mpz_class estimate = word - 1, rest;
    if (!e.all_ones) {
        estimate = u_two / y_top;
        rest = u_two % y_top;
    }
    e.first_over = excess(estimate - q);
    while (!e.all_ones && estimate * y_next > (rest << w) + u_next) {
        --estimate;
        rest += y_top;
        if (rest >= word) {
            e.remainder_passed_word = true;
            break;
        }
    }
    e.refined_over = excess(estimate - q);
    return e;
}

// The paths through a step, each with what its estimate does.
struct StepPath {
    const char *name;
    bool (*taken)(const Estimate &);
};

const StepPath refined_from_two_above = {"refined from two above", [](const Estimate &e) {
                                             return !e.all_ones && e.first_over == 2 &&
                                                    e.refined_over == 0;
                                         }};
const StepPath refined_from_one_above = {"refined from one above", [](const Estimate &e) {
                                             return !e.all_ones && e.first_over == 1 &&
                                                    e.refined_over == 0;
                                         }};
const StepPath remainder_passes_word = {
    "the refinement's remainder passes a word", [](const Estimate &e) {
        return !e.all_ones && e.first_over == 1 && e.refined_over == 0 && e.remainder_passed_word;
    }};
const StepPath added_back = {"added back after the refinement",
                             [](const Estimate &e) { return !e.all_ones && e.refined_over == 1; }};
const StepPath all_ones_exact = {"all ones, exact",
                                 [](const Estimate &e) { return e.all_ones && e.first_over == 0; }};
const StepPath all_ones_added_back = {
    "all ones, added back", [](const Estimate &e) { return e.all_ones && e.first_over == 1; }};
const StepPath exact_quotient = {"exact quotient",
                                 [](const Estimate &e) { return e.refined_over == 0; }};

struct StepCase {
    const StepPath *path;
    mpz_class y, window;
};

// Steps built for w-bit words and a divisor of ybits bits.
std::vector<StepCase> step_cases(int w, long ybits, std::mt19937_64 &rng) {
    const long s = ybits - w;
    const long e = s - w; // the bits of y below its top two words, when positive
    const mpz_class word = mpz_class(1) << w, half = mpz_class(1) << (w - 1);
    std::vector<StepCase> cases;

    // y_top = 2^(w-1) and every bit below it one: y = (y_top + 1) * 2^s - 1,
    // the most that y_top understates a divisor.
    mpz_class y = ((half + 1) << s) - 1;
    if (s >= 2) {
        // The first estimate is 2^w - 1, the quotient 2^w - 3.
        cases.push_back({&refined_from_two_above, y, ((word - 1) * half) << s});
        // The top word is y_top: all ones, and the quotient 2^w - 2.
        cases.push_back({&all_ones_added_back, y, half << (s + w)});
    }
    // The first estimate is k, the quotient k - 1.
    cases.push_back({&refined_from_one_above, y, (random_between(2, half, rng) * half) << s});

    // y * 2^w - 1 for a y with a bit set below y_top: the top word is y_top,
    // and the quotient all ones.
    y = random_bits(ybits, rng) | 1;
    cases.push_back({&all_ones_exact, y, (y << w) - 1});

    // k * y for a y with no bits below its top two words: the estimate k
    // times those words equals the window's top three words, and stands.
    y = random_bits(ybits, rng);
    if (e > 0)
        y = (y >> e) << e;
    for (const mpz_class &k : {mpz_class(1), mpz_class(word - 1), random_between(2, word - 2, rng)})
        cases.push_back({&exact_quotient, y, k * y});

    if (e >= 0) {
        // y_top and y_next all ones: y = (2^(2w) - 1) * 2^e. With the window
        // (k * (2^w - 1) + 1) * 2^s the first estimate is k with a remainder
        // of 1, which passes a word at the first decrement; the quotient is
        // k - 1.
        y = ((mpz_class(1) << (2 * w)) - 1) << e;
        for (const mpz_class &k :
             {mpz_class(2), mpz_class(word - 2), random_between(3, word - 3, rng)})
            cases.push_back({&remainder_passes_word, y, (k * (word - 1) + 1) << s});
    }
    if (e >= 1) {
        // y = t * 2^e + low, t being y's top two words and low nonzero: with
        // the window k * t * 2^e the refined estimate is k, and the quotient
        // k - 1.
        const mpz_class t = random_bits(2 * w, rng);
        const mpz_class all_low = (mpz_class(1) << e) - 1;
        for (const mpz_class &low : {all_low, random_between(1, all_low, rng)}) {
            y = (t << e) + low;
            for (const mpz_class &k :
                 {mpz_class(1), mpz_class(word - 2), random_between(2, word - 3, rng)})
                cases.push_back({&added_back, y, (k * t) << e});
        }
    }
    return cases;
}

// v's significant digits and `extra` zero digits above them.
Digits digits_with(const mpz_class &v, int32_t extra) {
    const auto n = static_cast<int32_t>(mpz_sizeinbase(v.get_mpz_t(), 256)) + extra;
    return digits_of(v.get_mpz_t(), n);
}

// Each step is put at digit j of a dividend, for j = 0 and one word, as
// x = (y * t * 2^w + window) * 256^j + low with t >= 1 and low below 256^j:
// the steps above it leave y * t * 2^w + window modulo y * 2^w, the window
// itself, as the running remainder there. Divisors of bit lengths around
// one to four words, most not a multiple of 8, so that both y and the window
// are read at a bit offset.
TEST(XpDifferentialTest, DivideStepsThatCorrectTheirEstimate) {
    std::mt19937_64 rng(0x5eed0006);
    Compared gmp("results against GMP");
    for (const int w : {32, 64}) {
        const long lengths[] = {
            w + 1,     w + 3,     w + w / 4 + 5, w + w / 2 + 1, 2 * w - 7,         2 * w - 1,
            2 * w,     2 * w + 1, 2 * w + 3,     2 * w + 8,     2 * w + w / 2 + 5, 3 * w,
            3 * w + 5, 4 * w + 4};
        for (const long ybits : lengths) {
            for (const StepCase &c : step_cases(w, ybits, rng)) {
                SCOPED_TRACE(testing::Message()
                             << w << "-bit words, y of " << ybits << " bits: " << c.path->name);
                // The case is a step's window, and takes its path.
                ASSERT_TRUE(c.window < (c.y << w));
                EXPECT_TRUE(c.path->taken(estimate_of(c.window, c.y, w)))
                    << "the case does not take its path";
                for (const int j : {0, w / 8}) {
                    const mpz_class t = random_between(1, 0xFFFF, rng);
                    const mpz_class low =
                        j == 0 ? mpz_class(0)
                               : random_between(0, (mpz_class(1) << (8 * j)) - 1, rng);
                    const mpz_class x = ((((c.y * t) << w) + c.window) << (8 * j)) + low;
                    check_divide(gmp, digits_with(x, uniform(rng, 0, 1)),
                                 digits_with(c.y, uniform(rng, 0, 1)));
                }
            }
        }
    }
}

TEST(XpDifferentialTest, DivideByZeroOfEveryShape) {
    std::mt19937_64 rng(0x5eed0007);
    Compared gmp("results against GMP");
    for (int32_t n = 1; n <= 40; n += 3)
        for (int32_t m = 1; m <= 40; m += 3) {
            check_divide(gmp, make(all_shapes[uniform(rng, 0, 4)], n, rng),
                         Digits(static_cast<size_t>(m), 0));
        }
}

// GMP's digits for v in base, upper-case.
std::string gmp_string(mpz_srcptr v, int32_t base) {
    std::string s(mpz_sizeinbase(v, base) + 2, '\0');
    mpz_get_str(s.data(), -base, v);
    s.resize(std::strlen(s.c_str()));
    return s;
}

TEST(XpDifferentialTest, RenderAndParseRoundTripAgainstGmp) {
    std::mt19937_64 rng(0x5eed0008);
    Compared gmp("results against GMP");
    for (int32_t base = 2; base <= 36; base++) {
        for (int32_t n = 1; n <= 40; n++) {
            for (Shape shape : all_shapes) {
                SCOPED_TRACE(testing::Message()
                             << "base " << base << " n " << n << " " << shape_name(shape));
                const Digits x = make(shape, n, rng);
                const std::string expected = gmp_string(Big(x), base);

                // Render into a buffer of exactly the size needed.
                const int32_t size = static_cast<int32_t>(expected.size()) + 1;
                std::unique_ptr<char[]> buf(new char[static_cast<size_t>(size)]);
                Digits consumed = x;
                EXPECT_EQ(xp_render(buf.get(), size, base, n, consumed.data()), buf.get());
                EXPECT_PRED_FORMAT2(gmp, std::string(buf.get()), expected);
                EXPECT_EQ(consumed, Digits(static_cast<size_t>(n), 0));

                // Parse back, upper- or lower-case, after white space and
                // before a stop character.
                std::string text = expected;
                if (uniform(rng, 0, 1))
                    std::transform(text.begin(), text.end(), text.begin(),
                                   [](char c) { return static_cast<char>(std::tolower(c)); });
                const std::string lead[] = {"", " ", "\t\n", " \v\f\r "};
                const std::string stop[] = {"", " 1", "-", "z", ".5", "\x80"};
                const std::string &l = lead[uniform(rng, 0, 3)];
                std::string s = stop[uniform(rng, 0, 5)];
                if (s == "z" && base == 36)
                    s = "!";
                const std::string input = l + text + s;
                Digits z(static_cast<size_t>(n), 0);
                char *end = nullptr;
                EXPECT_EQ(xp_parse(n, z.data(), input.c_str(), base, &end), 0) << input;
                EXPECT_PRED_FORMAT2(gmp, z, x) << input;
                EXPECT_PRED_FORMAT2(gmp, end - input.c_str(),
                                    static_cast<ptrdiff_t>(l.size() + text.size()))
                    << input;
            }
        }
    }
}

// What stopped a parse's accumulation, if anything.
enum class Overflow { none, product, sum };

// Parses `text` (digits, then one stop character) into a copy of z0 and
// checks the carry, the digits left in z and where end stops against the
// digit-by-digit accumulation modelled in GMP.
Overflow check_parse_overflow(Compared &gmp, int32_t n, const Digits &z0, const std::string &text,
                              int32_t base) {
    const mp_bitcnt_t bits = 8 * static_cast<mp_bitcnt_t>(n);
    Big v(z0);
    uint64_t carry = 0;
    Overflow overflow = Overflow::none;
    size_t stop = text.size() - 1;
    for (size_t i = 0; i < stop && carry == 0; i++) {
        mpz_mul_ui(v, v, static_cast<unsigned long>(base));
        carry = above(v, n);
        if (carry != 0) {
            overflow = Overflow::product;
        } else {
            mpz_add_ui(v, v, xp_digit_map[text[i] - '0']);
            carry = above(v, n);
            if (carry != 0)
                overflow = Overflow::sum;
        }
        mpz_fdiv_r_2exp(v, v, bits);
        if (carry != 0)
            stop = i;
    }

    Digits z = z0;
    char *end = nullptr;
    EXPECT_PRED_FORMAT2(gmp, xp_parse(n, z.data(), text.c_str(), base, &end),
                        static_cast<int32_t>(carry));
    EXPECT_PRED_FORMAT2(gmp, z, digits_of(v, n));
    EXPECT_PRED_FORMAT2(gmp, end - text.c_str(), static_cast<ptrdiff_t>(stop));
    return overflow;
}

// Parsing a string of random digits over n digits, starting from a random z,
// against a model of the accumulation run in GMP: the carry, the digits left
// in z, and where end stops.
TEST(XpDifferentialTest, ParseOverflowAgainstGmp) {
    std::mt19937_64 rng(0x5eed0009);
    Compared gmp("results against GMP");
    int product_carries = 0, sum_carries = 0;
    for (int32_t base = 2; base <= 36; base++) {
        for (int32_t n = 1; n <= 12; n++) {
            for (int rep = 0; rep < 12; rep++) {
                const Digits z0 = make(all_shapes[rep % 5], n, rng);
                const int len = uniform(rng, 1, 12 * n);
                std::string text;
                for (int i = 0; i < len; i++)
                    text += xp_digit_chars[uniform(rng, 0, rep % 3 == 0 ? base - 1 : 0) == 0
                                               ? base - 1
                                               : uniform(rng, 0, base - 1)];
                text += "+";
                SCOPED_TRACE(testing::Message() << "base " << base << " n " << n << " " << text);
                const Overflow overflow = check_parse_overflow(gmp, n, z0, text, base);
                product_carries += overflow == Overflow::product;
                sum_carries += overflow == Overflow::sum;
            }
        }
    }
    EXPECT_GT(product_carries, 0);
    EXPECT_GT(sum_carries, 0);
}

// A buffer too small raises after storing the digits that fit, least
// significant first, leaving x the quotient reached: the value divided by
// base^(size + 1) when a digit found no room, zero when only the NUL did.
TEST(XpDifferentialTest, RenderIntoTooSmallBuffers) {
    std::mt19937_64 rng(0x5eed000a);
    Compared gmp("results against GMP");
    for (int32_t base = 2; base <= 36; base += 3) {
        for (int32_t n = 1; n <= 20; n += 3) {
            const Digits x = make(Shape::Random, n, rng);
            const Big bx(x);
            const std::string expected = gmp_string(bx, base);
            const int32_t digits = static_cast<int32_t>(expected.size());
            for (int32_t size = 0; size <= digits; size++) {
                SCOPED_TRACE(testing::Message() << "base " << base << " n " << n << " size " << size
                                                << " " << expected);
                std::unique_ptr<char[]> buf(new char[static_cast<size_t>(size) + 1]);
                std::memset(buf.get(), '#', static_cast<size_t>(size) + 1);
                Digits consumed = x;
                expect_assertion_at_xp(
                    raised_by([&] { xp_render(buf.get(), size, base, n, consumed.data()); }));
                std::string low(expected.rbegin(), expected.rbegin() + size);
                EXPECT_PRED_FORMAT2(gmp, std::string(buf.get(), static_cast<size_t>(size) + 1),
                                    low + "#");
                Big left;
                if (size < digits) {
                    Big power;
                    mpz_ui_pow_ui(power, static_cast<unsigned long>(base),
                                  static_cast<unsigned long>(size) + 1);
                    mpz_fdiv_q(left, bx, power);
                }
                EXPECT_PRED_FORMAT2(gmp, consumed, digits_of(left, n));
            }
        }
    }
}

// Left and right shifts of one operand, each into n digits.
struct Shifted {
    Digits left, right;
};

// What shifting x by s bits into n digits must give, computed in GMP: on
// the left (x * 2^s + fill ones below) mod 256^n; on the right
// floor(X / 2^s) mod 256^n, where X is x with fill ones from bit 8m up to
// well past every bit that can reach z.
Shifted expected_shifts(int32_t n, const Digits &x, int32_t s, int32_t fill) {
    const auto shift = static_cast<mp_bitcnt_t>(s);
    const mp_bitcnt_t zbits = 8 * static_cast<mp_bitcnt_t>(n);
    const mp_bitcnt_t xbits = 8 * static_cast<mp_bitcnt_t>(x.size());
    const Big bx(x);
    Big left, right;
    mpz_mul_2exp(left, bx, shift);
    mpz_set(right, bx);
    if (fill) {
        for (mp_bitcnt_t b = 0; b < shift; b++)
            mpz_setbit(left, b);
        for (mp_bitcnt_t b = xbits; b < xbits + zbits + shift + 8; b++)
            mpz_setbit(right, b);
    }
    mpz_fdiv_q_2exp(right, right, shift);
    return {digits_of(left, n), digits_of(right, n)};
}

// Shifts x by s bits into n digits, both ways: into separate arrays, or in
// place, in x's array with room for max(n, m) digits.
Shifted shifts(int32_t n, const Digits &x, int32_t s, int32_t fill, bool in_place) {
    const int32_t m = static_cast<int32_t>(x.size());
    Shifted z;
    if (in_place) {
        z.left = x;
        z.left.resize(static_cast<size_t>(std::max(n, m)), 0xA5);
        z.right = z.left;
        xp_shift_left(n, z.left.data(), m, z.left.data(), s, fill);
        xp_shift_right(n, z.right.data(), m, z.right.data(), s, fill);
        z.left.resize(static_cast<size_t>(n));
        z.right.resize(static_cast<size_t>(n));
    } else {
        z.left.assign(static_cast<size_t>(n), 0xA5);
        z.right = z.left;
        xp_shift_left(n, z.left.data(), m, x.data(), s, fill);
        xp_shift_right(n, z.right.data(), m, x.data(), s, fill);
    }
    return z;
}

// Shifts against GMP on the fill-extended value, for every count from 0 to
// 8n + 8 and every pair of lengths in a small set, separate and in place.
TEST(XpDifferentialTest, ShiftsAgainstGmp) {
    std::mt19937_64 rng(0x5eed000b);
    Compared gmp("results against GMP");
    const int32_t lengths[] = {1, 2, 3, 5, 8, 13};
    for (int32_t n : lengths) {
        for (int32_t m : lengths) {
            for (Shape shape : all_shapes) {
                const Digits x = make(shape, m, rng);
                for (int32_t s = 0; s <= 8 * std::max(n, m) + 8; s++) {
                    for (int32_t fill = 0; fill <= 1; fill++) {
                        SCOPED_TRACE(testing::Message()
                                     << "n " << n << " m " << m << " s " << s << " fill " << fill
                                     << " " << shape_name(shape));
                        const Shifted expected = expected_shifts(n, x, s, fill);
                        for (bool in_place : {false, true}) {
                            SCOPED_TRACE(in_place ? "in place" : "separate");
                            const Shifted z = shifts(n, x, s, fill, in_place);
                            EXPECT_PRED_FORMAT2(gmp, z.left, expected.left);
                            EXPECT_PRED_FORMAT2(gmp, z.right, expected.right);
                        }
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Word boundaries: the loops take several digits at a time and handle the
// digits left over at the ends separately, so every operation is checked
// against GMP at lengths around one, two, four and eight words of 4 and 8
// digits, on operands made of runs of 0x00 and 0xFF, where carries and
// borrows travel furthest.

const int32_t boundary_lengths[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                    13, 14, 15, 16, 17, 31, 32, 33, 63, 64, 65};

// Runs of 0x00, 0xFF and random digits, each 1 to 12 digits long.
Digits make_runs(int32_t n, std::mt19937_64 &rng) {
    Digits d(static_cast<size_t>(n));
    for (int32_t i = 0; i < n;) {
        const int32_t kind = uniform(rng, 0, 2);
        for (int32_t run = uniform(rng, 1, 12); run > 0 && i < n; run--, i++)
            d[static_cast<size_t>(i)] =
                static_cast<unsigned char>(kind == 0   ? 0x00
                                           : kind == 1 ? 0xFF
                                                       : uniform(rng, 0, 255));
    }
    return d;
}

// An operand for the boundary tests: mostly runs, sometimes a shape of make.
Digits make_operand(int32_t n, std::mt19937_64 &rng) {
    return uniform(rng, 0, 2) == 0 ? make(all_shapes[uniform(rng, 0, 4)], n, rng)
                                   : make_runs(n, rng);
}

TEST(XpWordBoundaryTest, LinearOperationsAgainstGmp) {
    std::mt19937_64 rng(0x5eed0101);
    Compared gmp("results against GMP");
    for (int32_t n : boundary_lengths) {
        for (int rep = 0; rep < 24; rep++) {
            const Digits x = make_operand(n, rng);
            // y equal to x, its complement, or another operand.
            Digits y = make_operand(n, rng);
            if (rep % 6 == 0)
                y = x;
            if (rep % 6 == 1)
                for (size_t i = 0; i < y.size(); i++)
                    y[i] = static_cast<unsigned char>(~x[i]);
            SCOPED_TRACE(testing::Message() << "n " << n << " rep " << rep);
            check_add_subtract_negate(gmp, n, x, y, rep % 2);

            const int32_t d = some_digit(rng);
            check_plus_minus_digit(gmp, n, x, d);
            const Big bx(x);
            Big e, rem;
            mpz_mul_ui(e, bx, static_cast<unsigned long>(d));
            check_forms(gmp, n, {x}, {0}, digits_of(e, n), static_cast<int64_t>(above(e, n)),
                        [&](unsigned char *z, std::vector<Digits> &in) {
                            return xp_times_digit(n, z, in[0].data(), static_cast<uint32_t>(d));
                        });
            const uint32_t v = static_cast<uint32_t>(some_digit(rng, 1));
            mpz_tdiv_qr_ui(e, rem, bx, v);
            check_forms(gmp, n, {x}, {0}, digits_of(e, n), static_cast<int64_t>(mpz_get_ui(rem)),
                        [&](unsigned char *z, std::vector<Digits> &in) {
                            return xp_divide_digit(n, z, in[0].data(), v);
                        });
        }
    }
}

// The comparison's result is the difference of the top differing digits, at
// whichever place of a word that digit lies.
TEST(XpWordBoundaryTest, CompareAtEveryPlace) {
    std::mt19937_64 rng(0x5eed0102);
    for (int32_t n : boundary_lengths) {
        const Digits x = make_operand(n, rng);
        for (int32_t at = 0; at < n; at++) {
            for (const int delta : {1, -1, 0x80}) {
                SCOPED_TRACE(testing::Message() << "n " << n << " at " << at << " " << delta);
                Digits y = x;
                y[static_cast<size_t>(at)] =
                    static_cast<unsigned char>(x[static_cast<size_t>(at)] + delta);
                // Digits below the difference must not matter.
                for (int32_t i = 0; i < at; i++)
                    y[static_cast<size_t>(i)] = static_cast<unsigned char>(uniform(rng, 0, 255));
                const int32_t expected = static_cast<int32_t>(x[static_cast<size_t>(at)]) -
                                         static_cast<int32_t>(y[static_cast<size_t>(at)]);
                EXPECT_EQ(xp_compare(n, x.data(), y.data()), expected);
                EXPECT_EQ(xp_compare(n, y.data(), x.data()), -expected);
            }
        }
        EXPECT_EQ(xp_compare(n, x.data(), x.data()), 0);
    }
}

TEST(XpWordBoundaryTest, TimesAgainstGmp) {
    std::mt19937_64 rng(0x5eed0103);
    Compared gmp("results against GMP");
    for (int32_t n : boundary_lengths) {
        for (int32_t m : boundary_lengths) {
            for (int rep = 0; rep < 2; rep++) {
                SCOPED_TRACE(testing::Message() << "n " << n << " m " << m << " rep " << rep);
                const Digits x = make_operand(n, rng), y = make_operand(m, rng);
                // A cleared accumulator, or runs that make the carries out of
                // each row travel (and sometimes leave z).
                const Digits z0 =
                    rep == 0 ? Digits(static_cast<size_t>(n + m), 0) : make_runs(n + m, rng);
                Big e;
                mpz_mul(e, Big(x), Big(y));
                mpz_add(e, e, Big(z0));
                Digits z = z0;
                const int32_t result = xp_times(z.data(), n, x.data(), m, y.data());
                EXPECT_PRED_FORMAT2(gmp, result,
                                    mpz_sizeinbase(e, 2) > 8 * static_cast<size_t>(n + m) ? 1 : 0);
                EXPECT_PRED_FORMAT2(gmp, z, digits_of(e, n + m));
            }
        }
    }
}

// Divisors with a top digit of 1 or 0xFF (the most and the least room above
// the divisor's top bit) and dividends built as y * t + r: quotients whose
// words are all ones or all zeros, remainders of 0 and y - 1, and y * t - 1.
// When y's digits below its top two words are all 0xFF, its top words
// understate it the most, and the quotient's estimate for such dividends is
// too large.
TEST(XpWordBoundaryTest, DivideAgainstGmp) {
    std::mt19937_64 rng(0x5eed0104);
    Compared gmp("results against GMP");
    for (int32_t my : boundary_lengths) {
        for (int rep = 0; rep < 40; rep++) {
            const int32_t m = my + uniform(rng, 0, 1);
            Digits y(static_cast<size_t>(m), 0);
            const Digits low = make_operand(my, rng);
            std::copy(low.begin(), low.end(), y.begin());
            if (uniform(rng, 0, 2) == 0)
                std::fill(y.begin(), y.begin() + std::max(0, my - 3), 0xFF);
            y[static_cast<size_t>(my - 1)] = uniform(rng, 0, 1) == 0 ? 0x01 : 0xFF;

            // All-ones quotients longer than y reach the estimate's cap.
            const bool ones = uniform(rng, 0, 3) == 0;
            const int32_t tlen = uniform(rng, 1, ones ? my + 10 : 20);
            const Digits t = ones ? make(Shape::AllFF, tlen, rng) : make_operand(tlen, rng);
            const Big by(y);
            Big bx;
            mpz_mul(bx, by, Big(t));
            switch (uniform(rng, 0, 4)) {
            case 0: break;
            case 1:
                mpz_add(bx, bx, by);
                mpz_sub_ui(bx, bx, 1);
                break;
            case 2:
                if (mpz_sgn(bx.v) > 0)
                    mpz_sub_ui(bx, bx, 1);
                break;
            case 3: mpz_add_ui(bx, bx, static_cast<unsigned long>(uniform(rng, 0, 255))); break;
            default: {
                Big r;
                mpz_fdiv_r(r, Big(make_operand(my, rng)), by);
                mpz_add(bx, bx, r);
            }
            }
            const int32_t n =
                static_cast<int32_t>((mpz_sizeinbase(bx, 2) + 7) / 8) + uniform(rng, 0, 2);
            SCOPED_TRACE(testing::Message()
                         << "n " << n << " m " << m << " my " << my << " rep " << rep);
            check_divide(gmp, digits_of(bx, n), y);
        }
    }
}

// Round trips in every base at lengths around the words, and renders into
// buffers a few digits too small, where a chunk of digits per division must
// give way to single digits.
TEST(XpWordBoundaryTest, RenderAndParseEveryBase) {
    std::mt19937_64 rng(0x5eed0105);
    Compared gmp("results against GMP");
    for (int32_t base = 2; base <= 36; base++) {
        for (int32_t n : boundary_lengths) {
            SCOPED_TRACE(testing::Message() << "base " << base << " n " << n);
            const Digits x = make_operand(n, rng);
            const std::string expected = gmp_string(Big(x), base);
            const int32_t digits = static_cast<int32_t>(expected.size());

            std::string buf(static_cast<size_t>(digits) + 1, '#');
            Digits consumed = x;
            xp_render(buf.data(), digits + 1, base, n, consumed.data());
            EXPECT_PRED_FORMAT2(gmp, std::string(buf.c_str()), expected);
            EXPECT_EQ(consumed, Digits(static_cast<size_t>(n), 0));

            Digits z(static_cast<size_t>(n), 0);
            char *end = nullptr;
            const std::string text = expected + "!";
            EXPECT_EQ(xp_parse(n, z.data(), text.c_str(), base, &end), 0);
            EXPECT_PRED_FORMAT2(gmp, z, x);
            EXPECT_PRED_FORMAT2(gmp, end - text.c_str(), digits);

            for (int32_t size = std::max(0, digits - 3); size <= digits; size++) {
                SCOPED_TRACE(size);
                std::string small(static_cast<size_t>(size) + 1, '#');
                consumed = x;
                expect_assertion_at_xp(
                    raised_by([&] { xp_render(small.data(), size, base, n, consumed.data()); }));
                EXPECT_PRED_FORMAT2(gmp, small,
                                    std::string(expected.rbegin(), expected.rbegin() + size) + "#");
                Big left;
                if (size < digits) {
                    Big power;
                    mpz_ui_pow_ui(power, static_cast<unsigned long>(base),
                                  static_cast<unsigned long>(size) + 1);
                    mpz_fdiv_q(left, Big(x), power);
                }
                EXPECT_PRED_FORMAT2(gmp, consumed, digits_of(left, n));
            }
        }
    }
}

// Parses that overflow an array of a few words, from a random start: the
// carry, the digits left in z and the stop position follow the single-digit
// accumulation (modelled in GMP) exactly.
TEST(XpWordBoundaryTest, ParseOverflowAgainstGmp) {
    std::mt19937_64 rng(0x5eed0106);
    Compared gmp("results against GMP");
    const int32_t lengths[] = {7, 8, 9, 15, 16, 17, 31, 32, 33};
    for (int32_t base = 2; base <= 36; base++) {
        for (int32_t n : lengths) {
            for (int rep = 0; rep < 3; rep++) {
                const Digits z0 =
                    rep == 0 ? Digits(static_cast<size_t>(n), 0) : make_operand(n, rng);
                // Around as many digits as the array holds, mostly the top digit.
                const Big full(Digits(static_cast<size_t>(n), 0xFF));
                const int capacity = static_cast<int>(mpz_sizeinbase(full, base));
                std::string text;
                for (int i = 0, len = capacity + uniform(rng, -2, 2); i < len; i++)
                    text += xp_digit_chars[uniform(rng, 0, 3) == 0 ? uniform(rng, 0, base - 1)
                                                                   : base - 1];
                text += ".";
                SCOPED_TRACE(testing::Message() << "base " << base << " n " << n << " " << text);
                check_parse_overflow(gmp, n, z0, text, base);
            }
        }
    }
}

// Shifts across word boundaries: counts near every multiple of 8 bits, both
// fills, separate and in place.
TEST(XpWordBoundaryTest, ShiftsAgainstGmp) {
    std::mt19937_64 rng(0x5eed0107);
    Compared gmp("results against GMP");
    const int32_t lengths[] = {4, 7, 8, 9, 16, 17, 33};
    for (int32_t n : lengths) {
        for (int32_t m : lengths) {
            const Digits x = make_operand(m, rng);
            for (int32_t s = 0; s <= 8 * std::max(n, m) + 8; s++) {
                if (s > 24 && s % 8 != 0 && s % 8 != 1 && s % 8 != 7)
                    continue;
                for (int32_t fill = 0; fill <= 1; fill++) {
                    SCOPED_TRACE(testing::Message()
                                 << "n " << n << " m " << m << " s " << s << " fill " << fill);
                    const Shifted expected = expected_shifts(n, x, s, fill);
                    for (bool in_place : {false, true}) {
                        SCOPED_TRACE(in_place ? "in place" : "separate");
                        const Shifted z = shifts(n, x, s, fill, in_place);
                        // The left shift is checked where the shifted operand
                        // fits z, as its callers use it.
                        if (n <= m || m + s / 8 <= n) {
                            EXPECT_PRED_FORMAT2(gmp, z.left, expected.left);
                        }
                        EXPECT_PRED_FORMAT2(gmp, z.right, expected.right);
                    }
                }
            }
        }
    }
}

} // namespace
} // namespace lexspot

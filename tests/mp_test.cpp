#include "mp.hpp"

#include <sys/resource.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include <gmp.h>
#include <gmpxx.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "assert.hpp"
#include "fmt.hpp"
#include "mem.hpp"

namespace lexspot {
namespace {

using Bytes = std::vector<unsigned char>;

// Runs `f` under a frame and returns what it raised (null when nothing).
template <typename F>
ExceptionFrame raised_by(F f) {
    ExceptionFrame seen{};
    EXCEPTION_TRY { f(); }
    EXCEPTION_HANDLER(frame) { seen = frame; }
    EXCEPTION_END
    return seen;
}

// Sets the width for one test and puts the start-up width back after it.
class Width {
  public:
    explicit Width(int32_t bits) { mp_set_width(bits); }
    ~Width() { mp_set_width(32); }
    Width(const Width &) = delete;
    Width &operator=(const Width &) = delete;
};

std::string hex(const unsigned char *p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", p[i]);
        s += buf;
    }
    return s;
}
std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

// A value of the current width from its bytes, least significant first.
Bytes val(std::initializer_list<unsigned char> bytes) { return Bytes(bytes); }

// A value of the current width holding v (mod 2^mp_bits), stored without
// going through the code under test's overflow rules.
Bytes sv(int64_t v) {
    Bytes b(static_cast<size_t>(mp_bytes));
    auto u = static_cast<uint64_t>(v);
    for (auto &c : b) {
        c = static_cast<unsigned char>(u);
        u = v < 0 ? (u >> 8) | (UINT64_C(0xFF) << 56) : u >> 8;
    }
    b.back() &= mp_top_mask;
    return b;
}

// ---- Width state

TEST(MpWidthTest, StartsAt32BitsWithStaticScratchValues) {
    EXPECT_EQ(mp_bits, 32);
    EXPECT_EQ(mp_bytes, 4);
    EXPECT_EQ(mp_top_shift, 7);
    EXPECT_EQ(mp_top_mask, 0xFF);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(mp_temps[k], mp_static_temps + 16 * k) << k;
}

TEST(MpWidthTest, SetWidthComputesTheFieldsAndLaysOutScratch) {
    struct Case {
        int32_t n, bytes, top_shift;
        unsigned char mask;
    };
    const Case cases[] = {{2, 1, 1, 0x03},    {7, 1, 6, 0x7F},   {8, 1, 7, 0xFF},
                          {9, 2, 0, 0x01},    {20, 3, 3, 0x0F},  {24, 3, 7, 0xFF},
                          {65, 9, 0, 0x01},   {128, 16, 7, 0xFF}, {129, 17, 0, 0x01},
                          {300, 38, 3, 0x0F}, {32, 4, 7, 0xFF}};
    int32_t previous = mp_bits;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(mp_set_width(c.n), previous);
        previous = c.n;
        EXPECT_EQ(mp_bits, c.n);
        EXPECT_EQ(mp_bytes, c.bytes);
        EXPECT_EQ(mp_top_shift, c.top_shift);
        EXPECT_EQ(mp_top_mask, c.mask);
        for (int k = 1; k < 4; ++k)
            EXPECT_EQ(mp_temps[k] - mp_temps[0], k * c.bytes);
        const bool is_static = mp_temps[0] == mp_static_temps;
        EXPECT_EQ(is_static, c.bytes <= 16);
        // Scratch value 3 runs to the end of the area: 2 * bytes + 2 bytes,
        // all writable (the sanitizer build checks the heap area's bounds).
        std::memset(mp_temps[0], 0xA5, 5 * static_cast<size_t>(c.bytes) + 2);
    }
}

TEST(MpWidthTest, SetWidthRejectsWidthsBelowTwo) {
    for (int32_t n : {1, 0, -5, INT32_MIN}) {
        ExceptionFrame f = raised_by([n] { mp_set_width(n); });
        EXPECT_EQ(f.exception, &assertion_failed) << n;
        EXPECT_STREQ(f.file, "src/mp.cpp");
        EXPECT_EQ(mp_bits, 32) << "unchanged by the failed call";
    }
}

// Going from one heap width to another, or back to the same one, replaces
// the block; the sanitizer build reports any block left behind or reused.
TEST(MpWidthTest, HeapScratchIsReplacedAndReleased) {
    Width width(129);
    MpValue first = mp_temps[0];
    EXPECT_NE(first, mp_static_temps);
    mp_set_width(129);
    mp_set_width(256);
    EXPECT_EQ(mp_temps[3] - mp_temps[0], 3 * 32);
    std::memset(mp_temps[0], 0, 5 * 32 + 2);
    mp_set_width(128);
    EXPECT_EQ(mp_temps[0], mp_static_temps);
}

// A failed allocation of the new scratch area changes nothing: the old
// width, scratch values and heap area stay usable.
TEST(MpWidthTest, FailedScratchAllocationLeavesTheStateAlone) {
    Width width(200);
    const MpValue temps[4] = {mp_temps[0], mp_temps[1], mp_temps[2], mp_temps[3]};

    // Cap the address space a little above what is mapped now, so that the
    // largest scratch area (5 * 2^28 + 2 bytes) cannot be had.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    long pages = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    ASSERT_GT(pages, 0);
    rlimit capped = saved;
    capped.rlim_cur = static_cast<rlim_t>(pages) * 4096 + (rlim_t{256} << 20);
    if (saved.rlim_cur != RLIM_INFINITY && saved.rlim_cur < capped.rlim_cur)
        capped.rlim_cur = saved.rlim_cur;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
    ExceptionFrame f = raised_by([] { mp_set_width(INT32_MAX); });
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);

    EXPECT_EQ(f.exception, &allocation_failed);
    EXPECT_STREQ(f.file, "src/mp.cpp");
    EXPECT_EQ(mp_bits, 200);
    EXPECT_EQ(mp_bytes, 25);
    EXPECT_EQ(mp_top_shift, 7);
    EXPECT_EQ(mp_top_mask, 0xFF);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(mp_temps[k], temps[k]);
    // The old area is still ours: arithmetic through every scratch value works.
    Bytes x = sv(-12345), y = sv(678), z(25);
    mp_mul_s(z.data(), x.data(), y.data());
    EXPECT_EQ(z, sv(-12345 * 678));
    mp_div_s(z.data(), z.data(), y.data());
    EXPECT_EQ(z, x);
}

// ---- Values and machine integers

TEST(MpValueTest, FromUnsignedStoresMasksThenRaises) {
    struct Case {
        int32_t width;
        uint64_t u;
        Bytes stored;
        bool overflow;
    };
    const Case cases[] = {
        {8, 255, {0xFF}, false},
        {8, 256, {0x00}, true},
        {20, 0xFFFFF, {0xFF, 0xFF, 0x0F}, false},
        {20, 0x100000, {0x00, 0x00, 0x00}, true},
        {20, 0x345678, {0x78, 0x56, 0x04}, true},
        {2, 3, {0x03}, false},
        {2, 4, {0x00}, true},
        {64, UINT64_MAX, Bytes(8, 0xFF), false},
        {72, UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " " << c.u);
        Width width(c.width);
        Bytes z(static_cast<size_t>(mp_bytes), 0x5A);
        ExceptionFrame f = raised_by([&] { EXPECT_EQ(mp_from_unsigned(z.data(), c.u), z.data()); });
        EXPECT_EQ(f.exception, c.overflow ? &mp_overflow : nullptr);
        EXPECT_EQ(hex(z), hex(c.stored));
    }
}

TEST(MpValueTest, FromSignedStoresTwosComplementThenRaises) {
    struct Case {
        int32_t width;
        int64_t v;
        Bytes stored;
        bool overflow;
    };
    const Case cases[] = {
        {8, 127, {0x7F}, false},
        {8, -128, {0x80}, false},
        {8, 128, {0x80}, true},
        {8, -129, {0x7F}, true},
        {20, -1, {0xFF, 0xFF, 0x0F}, false},
        {2, -2, {0x02}, false},
        {2, 2, {0x02}, true},
        {64, INT64_MIN, {0, 0, 0, 0, 0, 0, 0, 0x80}, false},
        {63, INT64_MIN, {0, 0, 0, 0, 0, 0, 0, 0x00}, true},
        {72, -1, Bytes(9, 0xFF), false},
        {72, INT64_MIN, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF}, false},
        {129, -2, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " " << c.v);
        Width width(c.width);
        Bytes z(static_cast<size_t>(mp_bytes), 0x5A);
        ExceptionFrame f = raised_by([&] { mp_from_signed(z.data(), c.v); });
        EXPECT_EQ(f.exception, c.overflow ? &mp_overflow : nullptr);
        EXPECT_EQ(hex(z), hex(c.stored));
    }
}

// An overflowing mp_create frees its block before raising: the sanitizer
// build's leak check fails this test if it does not.
TEST(MpValueTest, CreateHoldsTheValueAndFreesItOnOverflow) {
    Width width(12);
    MpValue v = mp_create(4095);
    EXPECT_EQ(hex(v, 2), "FF 0F");
    mem_release(v);
    for (uint64_t u : {UINT64_C(4096), UINT64_MAX}) {
        ExceptionFrame f = raised_by([u] { mp_create(u); });
        EXPECT_EQ(f.exception, &mp_overflow);
        EXPECT_STREQ(f.file, "src/mp.cpp");
    }
}

TEST(MpValueTest, ToMachineIntegers) {
    {
        Width width(32);
        EXPECT_EQ(mp_to_unsigned(sv(-1).data()), UINT64_C(4294967295));
        EXPECT_EQ(mp_to_signed(val({0, 0, 0, 0x80}).data()), INT64_C(-2147483648));
    }
    {
        Width width(20);
        EXPECT_EQ(mp_to_signed(val({0xFF, 0xFF, 0x0F}).data()), -1);
        EXPECT_EQ(mp_to_unsigned(val({0xFF, 0xFF, 0x0F}).data()), 0xFFFFFu);
    }
    {
        Width width(72);
        Bytes two63 = {0, 0, 0, 0, 0, 0, 0, 0x80, 0};
        ExceptionFrame f = raised_by([&] { mp_to_signed(two63.data()); });
        EXPECT_EQ(f.exception, &mp_overflow);
        EXPECT_EQ(mp_to_unsigned(two63.data()), UINT64_C(1) << 63);
        EXPECT_EQ(mp_to_signed(sv(INT64_MIN).data()), INT64_MIN);
        Bytes two64 = {0, 0, 0, 0, 0, 0, 0, 0, 1};
        f = raised_by([&] { mp_to_unsigned(two64.data()); });
        EXPECT_EQ(f.exception, &mp_overflow);
        // -1 is 2^72 - 1 read as unsigned.
        f = raised_by([] { mp_to_unsigned(sv(-1).data()); });
        EXPECT_EQ(f.exception, &mp_overflow);
        EXPECT_EQ(mp_to_signed(sv(-1).data()), -1);
    }
}

TEST(MpValueTest, ResizeExamples) {
    struct Case {
        int32_t from;
        Bytes x;
        bool is_signed;
        int32_t to;
        Bytes z;
        bool overflow;
    };
    const Case cases[] = {
        {32, {0x7F, 0, 0, 0}, true, 8, {0x7F}, false},
        {32, {0x80, 0xFF, 0xFF, 0xFF}, true, 8, {0x80}, false},
        {32, {0x80, 0, 0, 0}, true, 8, {0x80}, true},
        {32, {0x7F, 0xFF, 0xFF, 0xFF}, true, 8, {0x7F}, true},
        {20, {0xFF, 0xFF, 0x0F}, true, 16, {0xFF, 0xFF}, false},
        {32, {0xFE, 0xFF, 0xFF, 0xFF}, true, 40, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {32, {0xFE, 0xFF, 0xFF, 0xFF}, false, 40, {0xFE, 0xFF, 0xFF, 0xFF, 0x00}, false},
        {32, {0xFF, 0, 0, 0}, false, 8, {0xFF}, false},
        {32, {0x00, 1, 0, 0}, false, 8, {0x00}, true},
        {8, {0xFF}, false, 12, {0xFF, 0x00}, false},
        {8, {0xFF}, true, 12, {0xFF, 0x0F}, false},
        {20, {0x00, 0x00, 0x08}, true, 21, {0x00, 0x00, 0x18}, false},
        {20, {0x00, 0x00, 0x08}, true, 20, {0x00, 0x00, 0x08}, false},
        {20, {0x00, 0x00, 0x08}, false, 19, {0x00, 0x00, 0x00}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << (c.is_signed ? " s " : " u ") << hex(c.x)
                                        << " -> " << c.to);
        Width width(c.from);
        Bytes z(c.z.size(), 0x5A);
        ExceptionFrame f = raised_by([&] {
            if (c.is_signed)
                mp_resize_s(c.to, z.data(), c.x.data());
            else
                mp_resize_u(c.to, z.data(), c.x.data());
        });
        EXPECT_EQ(f.exception, c.overflow ? &mp_overflow : nullptr);
        EXPECT_EQ(hex(z), hex(c.z));
    }
}

// Null values and widths below 2 raise at src/mp, in the order of the
// arguments' tests: operands first, then the destination.
TEST(MpPreconditionTest, NullsAndWidthsRaiseAtMp) {
    unsigned char a[4] = {}, b[4] = {};
    const std::function<void()> calls[] = {
        [&] { mp_from_unsigned(nullptr, 1); },
        [&] { mp_from_signed(nullptr, 1); },
        [&] { mp_to_signed(nullptr); },
        [&] { mp_to_unsigned(nullptr); },
        [&] { mp_resize_s(1, a, b); },
        [&] { mp_resize_u(0, a, b); },
        [&] { mp_resize_s(8, a, nullptr); },
        [&] { mp_resize_u(8, nullptr, b); },
        [&] { mp_add_u(a, nullptr, b); },
        [&] { mp_sub_s(a, b, nullptr); },
        [&] { mp_add_s(nullptr, a, b); },
        [&] { mp_negate(nullptr, a); },
        [&] { mp_add_si(a, nullptr, 1); },
        [&] { mp_sub_ui(nullptr, a, 1); },
        [&] { mp_compare_s(nullptr, a); },
        [&] { mp_compare_u(a, nullptr); },
        [&] { mp_compare_si(nullptr, 0); },
        [&] { mp_compare_ui(nullptr, 0); },
        [&] { mp_mul_wide_u(nullptr, a, b); },
        [&] { mp_mul_s(a, nullptr, b); },
        [&] { mp_div_u(a, b, nullptr); },
        [&] { mp_mod_s(nullptr, a, b); },
        [&] { mp_mod_ui(nullptr, 3); },
        [&] { mp_div_si(nullptr, a, 0); },
        [&] { mp_mod_si(nullptr, 0); },
        [&] { mp_bit_and(a, nullptr, b); },
        [&] { mp_bit_not(nullptr, a); },
        [&] { mp_bit_xor_i(nullptr, a, 1); },
        [&] { mp_shift_left(a, b, -1); },
        [&] { mp_shift_right_arith(a, nullptr, 1); },
        [&] { mp_parse(nullptr, "1", 10, nullptr); },
        [&] { mp_render(nullptr, 0, 10, nullptr); },
        [&] { mp_render(nullptr, 0, 1, a); },
        [&] { mp_render(reinterpret_cast<char *>(b), 1, 10, a); },
    };
    int i = 0;
    for (const auto &call : calls) {
        ExceptionFrame f = raised_by(call);
        EXPECT_EQ(f.exception, &assertion_failed) << "call " << i;
        EXPECT_STREQ(f.file, "src/mp.cpp") << "call " << i;
        ++i;
    }
    // The destination is tested after the operands, and a division by zero
    // is not looked at before either.
    ExceptionFrame operand = raised_by([&] { mp_add_u(nullptr, nullptr, b); });
    ExceptionFrame dest = raised_by([&] { mp_add_u(nullptr, a, b); });
    EXPECT_LT(operand.line, dest.line);
    ExceptionFrame by_zero = raised_by([&] { mp_div_si(nullptr, a, 0); });
    EXPECT_EQ(by_zero.exception, &assertion_failed);
}

// ---- Addition, subtraction, negation and comparison

struct ArithCase {
    int32_t width;
    const char *op;
    int64_t x;
    int64_t y;
    Bytes stored;
    bool overflow;
};

// Applies the named operation; y is a value of the width or an immediate.
void apply(const char *op, MpValue z, const unsigned char *x, int64_t y) {
    Bytes yv = sv(y);
    const std::string name = op;
    if (name == "add_u") mp_add_u(z, x, yv.data());
    else if (name == "sub_u") mp_sub_u(z, x, yv.data());
    else if (name == "add_s") mp_add_s(z, x, yv.data());
    else if (name == "sub_s") mp_sub_s(z, x, yv.data());
    else if (name == "negate") mp_negate(z, x);
    else if (name == "add_ui") mp_add_ui(z, x, static_cast<uint64_t>(y));
    else if (name == "sub_ui") mp_sub_ui(z, x, static_cast<uint64_t>(y));
    else if (name == "add_si") mp_add_si(z, x, y);
    else if (name == "sub_si") mp_sub_si(z, x, y);
    else if (name == "mul_u") mp_mul_u(z, x, yv.data());
    else if (name == "mul_s") mp_mul_s(z, x, yv.data());
    else if (name == "div_s") mp_div_s(z, x, yv.data());
    else if (name == "mod_s") mp_mod_s(z, x, yv.data());
    else if (name == "mul_ui") mp_mul_ui(z, x, static_cast<uint64_t>(y));
    else if (name == "div_ui") mp_div_ui(z, x, static_cast<uint64_t>(y));
    else if (name == "mul_si") mp_mul_si(z, x, y);
    else if (name == "div_si") mp_div_si(z, x, y);
    else FAIL() << "no operation " << op;
}

void check_cases(const std::vector<ArithCase> &cases) {
    for (const ArithCase &c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width << ": " << c.op << " " << c.x
                                        << ", " << c.y);
        Width width(c.width);
        Bytes x = sv(c.x);
        Bytes z(static_cast<size_t>(mp_bytes), 0x5A);
        ExceptionFrame f = raised_by([&] { apply(c.op, z.data(), x.data(), c.y); });
        EXPECT_EQ(f.exception, c.overflow ? &mp_overflow : nullptr);
        if (f.exception != nullptr) {
            EXPECT_STREQ(f.file, "src/mp.cpp");
        }
        EXPECT_EQ(hex(z), hex(c.stored));
    }
}

TEST(MpAddTest, StoredResultsAndOverflow) {
    check_cases({
        {32, "add_u", -1, 1, {0, 0, 0, 0}, true},
        {32, "sub_u", 0, 1, {0xFF, 0xFF, 0xFF, 0xFF}, true},
        {20, "add_u", -1, 1, {0, 0, 0}, true},
        {20, "sub_u", 0, 1, {0xFF, 0xFF, 0x0F}, true},
        {8, "add_s", 127, 1, {0x80}, true},
        {8, "add_s", -128, -1, {0x7F}, true},
        {8, "add_s", -1, 1, {0x00}, false},
        {8, "sub_s", -128, 1, {0x7F}, true},
        {8, "sub_s", 0, -128, {0x80}, true},
        {8, "sub_s", -1, -128, {0x7F}, false},
        {8, "negate", -128, 0, {0x80}, true},
        {8, "negate", 0, 0, {0x00}, false},
        {8, "negate", 127, 0, {0x81}, false},
        {24, "add_si", 8388607, 1, {0x00, 0x00, 0x80}, true},
        {8, "add_ui", 200, 55, {0xFF}, false},
        {8, "add_ui", 200, 56, {0x00}, true},
        {8, "add_ui", 0, 300, {0x2C}, true},
        {4, "add_si", -8, 10, {0x02}, true},
        {8, "add_si", -128, 200, {0x48}, false},
        {8, "add_si", -100, 300, {0xC8}, true},
        {16, "sub_si", 0, -300, {0x2C, 0x01}, false},
        // Single-digit immediates at their edges.
        {16, "add_si", 0, 255, {0xFF, 0x00}, false},
        {16, "add_si", 0, -255, {0x01, 0xFF}, false},
        {16, "add_si", 0, 256, {0x00, 0x01}, false},
        {16, "add_si", 0, -256, {0x00, 0xFF}, false},
        {16, "sub_ui", 300, 256, {0x2C, 0x00}, false},
        {16, "sub_ui", 255, 256, {0xFF, 0xFF}, true},
        {9, "add_si", 255, 1, {0x00, 0x01}, true},
        {9, "add_si", -256, 255, {0xFF, 0x01}, false},
        // At 8 bits a one-digit immediate of 128 to 255 is added exactly; an
        // exact result outside the width overflows even where the sign of
        // the stored bits alone would not show it.
        {8, "add_si", 127, 255, {0x7E}, true},
        {8, "add_si", -1, 255, {0xFE}, true},
        {8, "add_si", 1, -255, {0x02}, true},
        {8, "sub_si", 0, 255, {0x01}, true},
        {8, "sub_si", -128, 255, {0x81}, true},
        {8, "sub_si", 100, 200, {0x9C}, false},
        {8, "sub_si", -100, -200, {0x64}, false},
    });
}

TEST(MpCompareTest, SignsOfComparisons) {
    {
        Width width(32);
        EXPECT_EQ(mp_compare_s(sv(-1).data(), sv(0).data()), -1);
        EXPECT_EQ(mp_compare_s(sv(0).data(), sv(-1).data()), 1);
        EXPECT_GT(mp_compare_s(sv(5).data(), sv(3).data()), 0);
        EXPECT_LT(mp_compare_u(sv(5).data(), sv(-3).data()), 0);
        EXPECT_EQ(mp_compare_ui(sv(-1).data(), UINT64_C(1) << 40), -1);
        EXPECT_EQ(mp_compare_si(sv(0).data(), -5), 1);
        EXPECT_EQ(mp_compare_si(sv(-1).data(), -1), 0);
        EXPECT_EQ(mp_compare_si(sv(-7).data(), -5), -1);
    }
    {
        Width width(72);
        EXPECT_EQ(mp_compare_si(sv(-1).data(), -1), 0);
        EXPECT_LT(mp_compare_si(sv(INT64_MIN).data(), INT64_MIN + 1), 0);
        EXPECT_GT(mp_compare_ui(sv(-1).data(), UINT64_MAX), 0);
        EXPECT_EQ(mp_compare_ui(sv(INT64_MAX).data(), INT64_MAX), 0);
    }
}

// ---- Multiplication, division and remainder

TEST(MpMulDivTest, StoredResultsAndOverflow) {
    check_cases({
        {8, "mul_u", 16, 16, {0x00}, true},
        {8, "mul_u", 15, 17, {0xFF}, false},
        {8, "mul_s", -100, 2, {0x38}, true},
        {8, "mul_s", -64, 2, {0x80}, false},
        {8, "mul_s", 64, 2, {0x80}, true},
        {8, "mul_s", -128, -1, {0x80}, true},
        {8, "mul_s", -128, 1, {0x80}, false},
        {8, "div_s", -128, -1, {0x80}, true},
        {8, "mod_s", -128, -1, {0x00}, true},
        {32, "div_s", 5, -300, {0xFF, 0xFF, 0xFF, 0xFF}, false},
        {4, "mul_ui", 0, 20, {0x00}, true},
        {8, "div_ui", 200, 300, {0x04}, true},
        {32, "mul_si", 5, -3, {0xF1, 0xFF, 0xFF, 0xFF}, false},
        {32, "mul_si", 1 << 30, 4, {0, 0, 0, 0}, true},
        {32, "mul_si", -100, 3, {0xD4, 0xFE, 0xFF, 0xFF}, false},
        {8, "div_si", -128, -1, {0x80}, true},
        // A one-digit signed product at a width below 8 bits is tested on
        // its magnitude, not on the bits that its negation sets.
        {4, "mul_si", 1, -1, {0x0F}, false},
        {4, "mul_si", -2, 4, {0x08}, false},
        {4, "mul_si", 2, 4, {0x08}, true},
    });
}

TEST(MpMulDivTest, FloorDivisionAndNonNegativeRemainder) {
    Width width(32);
    struct Case {
        int64_t x, y, q, r;
    };
    const Case cases[] = {{7, 2, 3, 1},   {-7, 2, -4, 1}, {7, -2, -4, 1}, {-7, -2, 3, 1},
                          {7, -3, -3, 2}, {-7, 3, -3, 2}, {-7, -3, 2, 1}, {6, -3, -2, 0},
                          {-6, 3, -2, 0}, {1000, -600, -2, 200}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << " / " << c.y);
        Bytes x = sv(c.x), y = sv(c.y), z(4);
        EXPECT_EQ(mp_div_s(z.data(), x.data(), y.data()), z.data());
        EXPECT_EQ(z, sv(c.q));
        EXPECT_EQ(mp_mod_s(z.data(), x.data(), y.data()), z.data());
        EXPECT_EQ(z, sv(c.r));
        mp_div_si(z.data(), x.data(), c.y);
        EXPECT_EQ(z, sv(c.q));
        EXPECT_EQ(mp_mod_si(x.data(), c.y), c.r);
    }
    EXPECT_EQ(mp_mod_ui(sv(1000).data(), 600), 400u);
    EXPECT_EQ(mp_mod_ui(sv(1000).data(), 7), 6u);
}

TEST(MpMulDivTest, DivisionByZeroStoresNothing) {
    for (int32_t w : {5, 8, 32, 129}) {
        SCOPED_TRACE(w);
        Width width(w);
        Bytes x = sv(11), zero = sv(0), z = sv(-3);
        const Bytes before = z;
        const std::function<void()> calls[] = {
            [&] { mp_div_u(z.data(), x.data(), zero.data()); },
            [&] { mp_div_s(z.data(), x.data(), zero.data()); },
            [&] { mp_mod_u(z.data(), x.data(), zero.data()); },
            [&] { mp_mod_s(z.data(), x.data(), zero.data()); },
            [&] { mp_div_ui(z.data(), x.data(), 0); },
            [&] { mp_div_si(z.data(), x.data(), 0); },
            [&] { mp_mod_ui(x.data(), 0); },
            [&] { mp_mod_si(x.data(), 0); },
            // Immediates that are 0 modulo 2^mp_bits.
            [&] { mp_div_ui(z.data(), x.data(), w <= 40 ? UINT64_C(1) << 40 : 0); },
            [&] { mp_div_si(z.data(), x.data(), w <= 40 ? INT64_C(-1) << 40 : 0); },
            [&] { mp_mod_ui(x.data(), w <= 40 ? UINT64_C(3) << 40 : 0); },
            [&] { mp_mod_si(x.data(), w <= 40 ? INT64_C(3) << 40 : 0); },
        };
        for (const auto &call : calls) {
            ExceptionFrame f = raised_by(call);
            EXPECT_EQ(f.exception, &mp_divide_by_zero);
            EXPECT_EQ(z, before);
        }
    }
    Width width(8);
    Bytes x = sv(200), z(1);
    EXPECT_EQ(raised_by([&] { mp_div_ui(z.data(), x.data(), 256); }).exception,
              &mp_divide_by_zero);
}

TEST(MpMulDivTest, WideProducts) {
    {
        Width width(16);
        Bytes z(4);
        mp_mul_wide_u(z.data(), sv(-1).data(), sv(-1).data());
        EXPECT_EQ(hex(z), "01 00 FE FF");
        mp_mul_wide_s(z.data(), sv(-1).data(), sv(1).data());
        EXPECT_EQ(hex(z), "FF FF FF FF");
    }
    {
        // W = 3 bytes; the negative product's bits above 24 stay clear.
        Width width(12);
        Bytes z(3, 0x5A);
        mp_mul_wide_s(z.data(), sv(-1).data(), sv(1).data());
        EXPECT_EQ(hex(z), "FF FF FF");
        Bytes z2(3);
        mp_mul_wide_u(z2.data(), sv(-1).data(), sv(-1).data());
        EXPECT_EQ(hex(z2), "01 E0 FF");
    }
    {
        Width width(10); // W = 3 bytes for 20 bits
        Bytes z(3);
        mp_mul_wide_s(z.data(), sv(-3).data(), sv(5).data());
        EXPECT_EQ(hex(z), "F1 FF 0F");
    }
}

// ---- Bitwise operations and shifts

TEST(MpBitTest, Examples) {
    Width width(24);
    Bytes z(3);
    mp_bit_and(z.data(), val({0x56, 0x34, 0x12}).data(), val({0x0F, 0x0F, 0x0F}).data());
    EXPECT_EQ(hex(z), "06 04 02");
    mp_bit_not(z.data(), sv(0).data());
    EXPECT_EQ(hex(z), "FF FF FF");
    mp_bit_or_i(z.data(), sv(0).data(), (UINT64_C(1) << 25) - 1);
    EXPECT_EQ(hex(z), "FF FF FF");
    mp_bit_xor_i(z.data(), sv(0x123456).data(), UINT64_C(1) << 24);
    EXPECT_EQ(hex(z), "56 34 12");
    mp_shift_left(z.data(), sv(1).data(), 23);
    EXPECT_EQ(hex(z), "00 00 80");
    mp_shift_left(z.data(), sv(1).data(), 24);
    EXPECT_EQ(hex(z), "00 00 00");
    mp_shift_right(z.data(), sv(-5).data(), 1);
    EXPECT_EQ(hex(z), "FD FF 7F");
    struct Arith {
        int64_t x;
        int32_t s;
        int64_t result;
    };
    for (const Arith &a : {Arith{-5, 1, -3}, Arith{-1, 7, -1}, Arith{5, 1, 2}, Arith{-2, 24, -1},
                           Arith{-2, 100, -1}, Arith{8388607, 30, 0}, Arith{-2, 0, -2}}) {
        mp_shift_right_arith(z.data(), sv(a.x).data(), a.s);
        EXPECT_EQ(z, sv(a.result)) << a.x << " >> " << a.s;
    }
    ExceptionFrame f = raised_by([&] { mp_shift_right(z.data(), z.data(), -1); });
    EXPECT_EQ(f.exception, &assertion_failed);
}

TEST(MpBitTest, ArithmeticShiftFillsFromTheSignAtOddWidths) {
    Width width(20);
    Bytes z(3);
    mp_shift_right_arith(z.data(), val({0xFF, 0xFF, 0x0F}).data(), 1);
    EXPECT_EQ(hex(z), "FF FF 0F");
    mp_shift_right_arith(z.data(), val({0x00, 0x00, 0x08}).data(), 4);
    EXPECT_EQ(hex(z), "00 80 0F");
    mp_bit_not(z.data(), sv(0).data());
    EXPECT_EQ(hex(z), "FF FF 0F");
}

// ---- Strings

TEST(MpParseTest, ValuesEndsAndOverflow) {
    struct Case {
        int32_t width;
        const char *str;
        int32_t base;
        Bytes stored;
        size_t end; // offset of the end position
        bool overflow;
    };
    const Case cases[] = {
        {24, "16777215", 10, {0xFF, 0xFF, 0xFF}, 8, false},
        {24, "16777216", 10, {0x00, 0x00, 0x00}, 7, true},
        {24, "8388608", 10, {0x00, 0x00, 0x80}, 7, false},
        {24, "  42;", 10, {42, 0, 0}, 4, false},
        {24, "-5", 10, {0, 0, 0}, 0, false},
        {24, "", 10, {0, 0, 0}, 0, false},
        {24, "fFfFfF", 16, {0xFF, 0xFF, 0xFF}, 6, false},
        {8, "255", 10, {0xFF}, 3, false},
        {8, "256", 10, {0x00}, 2, true},
        {8, "260", 10, {0x04}, 2, true},
        {12, "4095", 10, {0xFF, 0x0F}, 4, false},
        {12, "4096", 10, {0x00, 0x00}, 4, true},
        {12, "7777", 8, {0xFF, 0x0F}, 4, false},
        {12, "10000", 8, {0x00, 0x00}, 5, true},
        {2, "11", 2, {0x03}, 2, false},
        {2, "100", 2, {0x00}, 3, true},
        {72, "FFFFFFFFFFFFFFFFFF", 16, Bytes(9, 0xFF), 18, false},
        {72, "1000000000000000000", 16, Bytes(9, 0x00), 18, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " '" << c.str << "' base " << c.base);
        Width width(c.width);
        Bytes z(static_cast<size_t>(mp_bytes), 0x5A);
        char *end = nullptr;
        ExceptionFrame f = raised_by([&] { mp_parse(z.data(), c.str, c.base, &end); });
        EXPECT_EQ(f.exception, c.overflow ? &mp_overflow : nullptr);
        EXPECT_EQ(hex(z), hex(c.stored));
        EXPECT_EQ(end, c.str + c.end);
    }
}

TEST(MpParseTest, BadStringOrBaseRaisesAtXp) {
    Bytes z(4);
    ExceptionFrame f = raised_by([&] { mp_parse(z.data(), nullptr, 10, nullptr); });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/xp.cpp");
    f = raised_by([&] { mp_parse(z.data(), "1", 37, nullptr); });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/xp.cpp");
}

TEST(MpRenderTest, NumeralsAndBuffers) {
    Width width(24);
    Bytes x = sv(-1);
    char buf[32];
    EXPECT_STREQ(mp_render(buf, sizeof buf, 10, x.data()), "16777215");
    EXPECT_STREQ(mp_render(buf, sizeof buf, 16, x.data()), "FFFFFF");
    EXPECT_EQ(x, sv(-1)) << "the value is left alone";
    EXPECT_STREQ(mp_render(buf, sizeof buf, 36, sv(35).data()), "Z");
    EXPECT_STREQ(mp_render(buf, sizeof buf, 2, sv(0).data()), "0");

    // An allocated buffer of mp_bits / k + 2 bytes: 10 for base 10 at 24
    // bits, 26 for base 2. Its whole extent holds the longest numeral.
    char *s = mp_render(nullptr, 0, 10, x.data());
    EXPECT_STREQ(s, "16777215");
    mem_release(s);
    s = mp_render(nullptr, 0, 2, x.data());
    EXPECT_EQ(std::string(s), std::string(24, '1'));
    mem_release(s);

    ExceptionFrame f = raised_by([&] { mp_render(buf, 1, 10, sv(42).data()); });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/mp.cpp");
    f = raised_by([&] { mp_render(buf, 2, 10, sv(42).data()); });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/xp.cpp");
    EXPECT_STREQ(mp_render(buf, 3, 10, sv(42).data()), "42");
}

// ---- Formatting

std::string format(const char *spec, const unsigned char *x, int base) {
    char buf[512];
    fmt_buffer(buf, sizeof buf, spec, x, base);
    return buf;
}

class MpFormatTest : public testing::Test {
  protected:
    void SetUp() override {
        saved_d_ = fmt_install('D', mp_format_s);
        saved_u_ = fmt_install('U', mp_format_u);
    }
    void TearDown() override {
        fmt_install('D', saved_d_);
        fmt_install('U', saved_u_);
    }

  private:
    ConversionFn saved_d_ = nullptr, saved_u_ = nullptr;
};

TEST_F(MpFormatTest, Examples) {
    Width width(24);
    struct Case {
        const char *spec;
        int64_t v;
        int base;
        const char *out;
    };
    const Case cases[] = {
        {"%D", 0, 10, "0"},
        {"%D", -1, 10, "-1"},
        {"%D", 8388607, 10, "8388607"},
        {"%D", -8388608, 10, "-8388608"},
        {"%D", 255, 16, "FF"},
        {"%D", 5, 2, "101"},
        {"%D", 35, 36, "Z"},
        {"%D", 36, 36, "10"},
        {"%D", -8388608, 2, "-100000000000000000000000"},
        {"%5D", 42, 10, "   42"},
        {"%-5D|", 42, 10, "42   |"},
        {"%05D", -42, 10, "-0042"},
        {"%+D", 42, 10, "+42"},
        {"%.4D", 42, 10, "0042"},
        {"% D", 42, 10, " 42"},
        {"%.0D", 0, 10, ""},
        {"%U", -1, 10, "16777215"},
        {"%U", -1, 16, "FFFFFF"},
        {"%U", -1, 2, "111111111111111111111111"},
        {"%08U", 255, 16, "000000FF"},
        {" %D", 7, 10, " 7"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.spec << " " << c.v << " base " << c.base);
        EXPECT_EQ(format(c.spec, sv(c.v).data(), c.base), c.out);
    }
}

TEST_F(MpFormatTest, OddWidthsPrintThroughTheSign) {
    Width width(20);
    EXPECT_EQ(format("%D", val({0xFF, 0xFF, 0x0F}).data(), 10), "-1");
    EXPECT_EQ(format("%U", val({0xFF, 0xFF, 0x0F}).data(), 10), "1048575");
    EXPECT_EQ(format("%D", val({0x00, 0x00, 0x08}).data(), 10), "-524288");
}

TEST_F(MpFormatTest, BadArgumentsRaiseAtMpBeforePrinting) {
    Width width(24);
    Bytes x = sv(42);
    for (int base : {1, 37, 0, -10}) {
        for (const char *spec : {"ab%D", "ab%U"}) {
            char buf[64] = "untouched";
            ExceptionFrame f = raised_by([&] { fmt_buffer(buf, sizeof buf, spec, x.data(), base); });
            EXPECT_EQ(f.exception, &assertion_failed) << spec << " " << base;
            EXPECT_STREQ(f.file, "src/mp.cpp");
            EXPECT_EQ(std::string(buf, 2), "ab");
            EXPECT_EQ(buf[2], 't') << "nothing of the conversion printed";
        }
    }
    ExceptionFrame f = raised_by([] {
        char buf[16];
        fmt_buffer(buf, sizeof buf, "%D", static_cast<unsigned char *>(nullptr), 10);
    });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/mp.cpp");
    f = raised_by([&] {
        va_list none;
        std::memset(&none, 0, sizeof none);
        mp_format_s('D', none, fmt_put_stream, stdout, nullptr, 0, 0);
    });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/mp.cpp");
}

// A sink that raises does not leak the numeral (the sanitizer build's leak
// check fails this test if it does).
TEST_F(MpFormatTest, FullBufferRaisesWithoutLeaking) {
    Width width(129);
    Bytes x = sv(INT64_MAX);
    char buf[4];
    for (const char *spec : {"%D", "%U", "%40D"}) {
        ExceptionFrame f = raised_by([&] { fmt_buffer(buf, sizeof buf, spec, x.data(), 10); });
        EXPECT_EQ(f.exception, &format_overflow) << spec;
    }
}

} // namespace
} // namespace lexspot

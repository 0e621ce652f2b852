// SPDX-License-Identifier: MIT

#include <lexspot/mp.hpp>

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

#include <gmock/gmock.h>
#include <gmp.h>
#include <gmpxx.h>
#include <gtest/gtest.h>

#include "client_exit.hpp"
#include "failing_alloc.hpp"
#include "int128.hpp"
#include "test_support.hpp"
#include <lexspot/assert.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>

namespace lexspot {
namespace {

// A test that leaves a block allocated fails.
[[maybe_unused]] const bool leak_check = failing_alloc::check_every_test_for_leaks();

using Bytes = std::vector<unsigned char>;

// The static scratch area, which the library keeps to itself: where the
// scratch values sit at start, before any test changes the width. mp_temps
// is constant-initialized, so it is already laid out when this is read.
const unsigned char *const static_area = mp_temps[0];

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
std::string hex(const Bytes &b) {
    return hex(b.data(), b.size());
}

// A value of the current width from its bytes, least significant first.
Bytes val(std::initializer_list<unsigned char> bytes) {
    return Bytes(bytes);
}

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
        EXPECT_EQ(mp_temps[k], static_area + 16 * k) << k;
}

TEST(MpWidthTest, SetWidthComputesTheFieldsAndLaysOutScratch) {
    struct Case {
        int32_t n, bytes, top_shift;
        unsigned char mask;
    };
    const Case cases[] = {{2, 1, 1, 0x03},    {7, 1, 6, 0x7F},    {8, 1, 7, 0xFF},
                          {9, 2, 0, 0x01},    {20, 3, 3, 0x0F},   {24, 3, 7, 0xFF},
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
        const bool is_static = mp_temps[0] == static_area;
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
    EXPECT_NE(first, static_area);
    if (allocated_size_known) {
        EXPECT_EQ(allocated_size(first), 5u * 17 + 2);
    }
    mp_set_width(129);
    mp_set_width(256);
    EXPECT_EQ(mp_temps[3] - mp_temps[0], 3 * 32);
    if (allocated_size_known) {
        EXPECT_EQ(allocated_size(mp_temps[0]), 5u * 32 + 2);
    }
    std::memset(mp_temps[0], 0, 5 * 32 + 2);
    mp_set_width(128);
    EXPECT_EQ(mp_temps[0], static_area);
}

// Above 128 bits the scratch values take one heap block, which every width
// change releases: from one wide width to another, to the same one, or back
// to the static area. The blocks counted after each change, the start-up
// width's being none.
TEST(MpWidthTest, WidthChangesLeaveNoBlockBehind) {
    const int64_t at_start = failing_alloc::live_blocks();
    const struct {
        int32_t width;
        int64_t blocks;
    } steps[] = {{129, 1}, {256, 1}, {129, 1}, {129, 1}, {128, 0}, {300, 1},
                 {2, 0},   {200, 1}, {136, 1}, {16, 0},  {32, 0}};
    for (const auto &step : steps) {
        mp_set_width(step.width);
        EXPECT_EQ(failing_alloc::live_blocks() - at_start, step.blocks)
            << "after the change to " << step.width << " bits";
    }
}

// A failed allocation of the new scratch area changes nothing: the old
// width, scratch values and heap area stay usable.
TEST(MpWidthTest, FailedScratchAllocationLeavesTheStateAlone) {
#ifdef LEXSPOT_EMULATOR
    GTEST_SKIP() << "the emulator (" LEXSPOT_EMULATOR ") ignores the program's RLIMIT_AS, "
                    "so the allocation cannot be made to fail";
#endif
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
    ExceptionFrame f = raised_by([] { mp_set_width(mp_max_bits); });
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);

    // Had the limit not held, the width would now be the largest: nothing
    // below would mean anything.
    ASSERT_EQ(f.exception, &allocation_failed);
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
        {129,
         -2,
         {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
          0xFF, 0x01},
         false},
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
    if (allocated_size_known) {
        EXPECT_EQ(allocated_size(v), 2u);
    }
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
        SCOPED_TRACE(testing::Message()
                     << c.from << (c.is_signed ? " s " : " u ") << hex(c.x) << " -> " << c.to);
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

// Calls a conversion routine directly with a value pointer and a base in its
// argument list, printing into a string. What it raises is raised again
// from here, with its own location, once the argument list is closed.
void call_conversion(ConversionFn fn, unsigned char *flags, ...) {
    std::string out;
    const PutFn put = [](int c, void *closure) {
        static_cast<std::string *>(closure)->push_back(static_cast<char>(c));
        return c;
    };
    va_list args;
    va_start(args, flags);
    ExceptionFrame caught{};
    EXCEPTION_TRY {
        fn('D', args, put, &out, flags, INT_MIN, INT_MIN);
    }
    EXCEPTION_HANDLER(frame) {
        caught = frame;
    }
    EXCEPTION_END
    va_end(args);
    if (caught.exception != nullptr)
        exception_reraise(caught);
}

// Each operation tests its arguments in a fixed order: with every argument
// bad, it fails at the test of the first, the same line as when only that
// one is bad.
TEST(MpPreconditionTest, ConversionAdditiveAndStringArgumentsAreTestedInOrder) {
    unsigned char a[4] = {}, b[4] = {};
    char buf[4];
    unsigned char flags[256] = {};
    struct Case {
        const char *what;
        std::function<void()> all_bad, first_bad, second_bad;
    };
    const Case cases[] = {
        {"resize_s: m, x, z", [] { mp_resize_s(1, nullptr, nullptr); },
         [&] { mp_resize_s(1, a, b); }, [&] { mp_resize_s(8, a, nullptr); }},
        {"resize_s: x, z", [] { mp_resize_s(8, nullptr, nullptr); },
         [&] { mp_resize_s(8, a, nullptr); }, [&] { mp_resize_s(8, nullptr, b); }},
        {"resize_u: m, x, z", [] { mp_resize_u(0, nullptr, nullptr); },
         [&] { mp_resize_u(0, a, b); }, [&] { mp_resize_u(8, a, nullptr); }},
        {"resize_u: x, z", [] { mp_resize_u(8, nullptr, nullptr); },
         [&] { mp_resize_u(8, a, nullptr); }, [&] { mp_resize_u(8, nullptr, b); }},
        {"add_u: x, y", [] { mp_add_u(nullptr, nullptr, nullptr); },
         [&] { mp_add_u(a, nullptr, b); }, [&] { mp_add_u(a, b, nullptr); }},
        {"sub_u: y, z", [&] { mp_sub_u(nullptr, a, nullptr); }, [&] { mp_sub_u(a, b, nullptr); },
         [&] { mp_sub_u(nullptr, a, b); }},
        {"add_s: x, y", [] { mp_add_s(nullptr, nullptr, nullptr); },
         [&] { mp_add_s(a, nullptr, b); }, [&] { mp_add_s(a, b, nullptr); }},
        {"sub_s: y, z", [&] { mp_sub_s(nullptr, a, nullptr); }, [&] { mp_sub_s(a, b, nullptr); },
         [&] { mp_sub_s(nullptr, a, b); }},
        {"negate: x, z", [] { mp_negate(nullptr, nullptr); }, [&] { mp_negate(a, nullptr); },
         [&] { mp_negate(nullptr, a); }},
        {"add_ui: x, z", [] { mp_add_ui(nullptr, nullptr, 300); },
         [&] { mp_add_ui(a, nullptr, 300); }, [&] { mp_add_ui(nullptr, a, 300); }},
        {"sub_ui: x, z", [] { mp_sub_ui(nullptr, nullptr, 1); }, [&] { mp_sub_ui(a, nullptr, 1); },
         [&] { mp_sub_ui(nullptr, a, 1); }},
        {"add_si: x, z", [] { mp_add_si(nullptr, nullptr, 1); }, [&] { mp_add_si(a, nullptr, 1); },
         [&] { mp_add_si(nullptr, a, 1); }},
        {"sub_si: x, z", [] { mp_sub_si(nullptr, nullptr, -300); },
         [&] { mp_sub_si(a, nullptr, -300); }, [&] { mp_sub_si(nullptr, a, -300); }},
        {"compare_u: x, y", [] { mp_compare_u(nullptr, nullptr); },
         [&] { mp_compare_u(nullptr, a); }, [&] { mp_compare_u(a, nullptr); }},
        {"compare_s: x, y", [] { mp_compare_s(nullptr, nullptr); },
         [&] { mp_compare_s(nullptr, a); }, [&] { mp_compare_s(a, nullptr); }},
        {"render: x, base", [] { mp_render(nullptr, 0, 1, nullptr); },
         [] { mp_render(nullptr, 0, 10, nullptr); }, [&] { mp_render(nullptr, 0, 1, a); }},
        {"render: base, size", [&] { mp_render(buf, 1, 37, a); }, [&] { mp_render(buf, 4, 37, a); },
         [&] { mp_render(buf, 1, 10, a); }},
        {"format_s: flags, value", [] { call_conversion(mp_format_s, nullptr, nullptr, 99); },
         [&] { call_conversion(mp_format_s, nullptr, a, 10); },
         [&] { call_conversion(mp_format_s, flags, nullptr, 10); }},
        {"format_s: value, base", [&] { call_conversion(mp_format_s, flags, nullptr, 1); },
         [&] { call_conversion(mp_format_s, flags, nullptr, 10); },
         [&] { call_conversion(mp_format_s, flags, a, 1); }},
        {"format_u: flags, value", [] { call_conversion(mp_format_u, nullptr, nullptr, 99); },
         [&] { call_conversion(mp_format_u, nullptr, a, 10); },
         [&] { call_conversion(mp_format_u, flags, nullptr, 10); }},
        {"format_u: value, base", [&] { call_conversion(mp_format_u, flags, nullptr, 37); },
         [&] { call_conversion(mp_format_u, flags, nullptr, 10); },
         [&] { call_conversion(mp_format_u, flags, a, 37); }},
    };
    for (const Case &c : cases) {
        const ExceptionFrame all = raised_by(c.all_bad);
        const ExceptionFrame first = raised_by(c.first_bad);
        const ExceptionFrame second = raised_by(c.second_bad);
        EXPECT_EQ(all.exception, &assertion_failed) << c.what;
        EXPECT_STREQ(all.file, "src/mp.cpp") << c.what;
        EXPECT_EQ(all.line, first.line) << c.what;
        EXPECT_NE(all.line, second.line) << c.what;
    }
}

// Which argument a call with several bad ones is refused for: each row names
// the call whose only bad argument must be the one reported. A zero divisor
// is looked at only after the pointers.
TEST(MpPreconditionTest, ArgumentsAreTestedInOrder) {
    unsigned char a[4] = {}, b[4] = {};
    MpValue n = nullptr;
    struct Row {
        const char *what;
        std::function<void()> several, only;
    };
    const Row rows[] = {
        // Products, quotients and remainders: x, then y, then z.
        {"mul_wide_u x", [&] { mp_mul_wide_u(n, n, n); }, [&] { mp_mul_wide_u(a, n, b); }},
        {"mul_wide_s y", [&] { mp_mul_wide_s(n, a, n); }, [&] { mp_mul_wide_s(a, a, n); }},
        {"mul_u x", [&] { mp_mul_u(n, n, n); }, [&] { mp_mul_u(a, n, b); }},
        {"mul_s x", [&] { mp_mul_s(n, n, n); }, [&] { mp_mul_s(a, n, b); }},
        {"mul_s y", [&] { mp_mul_s(n, a, n); }, [&] { mp_mul_s(a, a, n); }},
        {"div_u y", [&] { mp_div_u(n, a, n); }, [&] { mp_div_u(a, a, n); }},
        {"div_s x", [&] { mp_div_s(n, n, n); }, [&] { mp_div_s(a, n, b); }},
        {"mod_u x", [&] { mp_mod_u(n, n, b); }, [&] { mp_mod_u(a, n, b); }},
        {"mod_s y", [&] { mp_mod_s(n, a, n); }, [&] { mp_mod_s(a, a, n); }},
        // Immediate forms: x, then z, then a zero divisor.
        {"mul_ui x", [&] { mp_mul_ui(n, n, 3); }, [&] { mp_mul_ui(a, n, 3); }},
        {"mul_si x", [&] { mp_mul_si(n, n, 300); }, [&] { mp_mul_si(a, n, 300); }},
        {"div_ui x", [&] { mp_div_ui(n, n, 0); }, [&] { mp_div_ui(a, n, 3); }},
        {"div_ui z", [&] { mp_div_ui(n, a, 0); }, [&] { mp_div_ui(n, a, 3); }},
        {"div_si z", [&] { mp_div_si(n, a, 0); }, [&] { mp_div_si(n, a, 3); }},
        {"mod_ui x", [&] { mp_mod_ui(n, 0); }, [&] { mp_mod_ui(n, 3); }},
        {"mod_si x", [&] { mp_mod_si(n, 0); }, [&] { mp_mod_si(n, -300); }},
        // And, or, exclusive or: z, then x, then y.
        {"bit_and z", [&] { mp_bit_and(n, n, n); }, [&] { mp_bit_and(n, a, b); }},
        {"bit_or x", [&] { mp_bit_or(a, n, n); }, [&] { mp_bit_or(a, n, b); }},
        {"bit_xor z", [&] { mp_bit_xor(n, a, n); }, [&] { mp_bit_xor(n, a, b); }},
        {"bit_and_i z", [&] { mp_bit_and_i(n, n, 1); }, [&] { mp_bit_and_i(n, a, 1); }},
        {"bit_or_i z", [&] { mp_bit_or_i(n, n, 1); }, [&] { mp_bit_or_i(n, a, 1); }},
        {"bit_xor_i z", [&] { mp_bit_xor_i(n, n, 1); }, [&] { mp_bit_xor_i(n, a, 1); }},
        // Complement and shifts: x, then z, then the count.
        {"bit_not x", [&] { mp_bit_not(n, n); }, [&] { mp_bit_not(a, n); }},
        {"shift_left x", [&] { mp_shift_left(n, n, -1); }, [&] { mp_shift_left(a, n, 1); }},
        {"shift_right z", [&] { mp_shift_right(n, a, -1); }, [&] { mp_shift_right(n, a, 1); }},
        {"shift_right_arith x", [&] { mp_shift_right_arith(n, n, -1); },
         [&] { mp_shift_right_arith(a, n, 1); }},
        {"shift_right_arith z", [&] { mp_shift_right_arith(n, a, -1); },
         [&] { mp_shift_right_arith(n, a, 1); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const ExceptionFrame several = raised_by(row.several);
        const ExceptionFrame only = raised_by(row.only);
        EXPECT_EQ(several.exception, &assertion_failed);
        EXPECT_EQ(only.exception, &assertion_failed);
        EXPECT_STREQ(several.file, "src/mp.cpp");
        EXPECT_EQ(several.line, only.line);
    }
}

// ---- Addition, subtraction, negation and comparison

// The operations of the arithmetic tables.
enum class Arith {
    add_u,
    sub_u,
    add_s,
    sub_s,
    negate,
    add_ui,
    sub_ui,
    add_si,
    sub_si,
    mul_u,
    mul_s,
    div_s,
    mod_s,
    mul_ui,
    div_ui,
    mul_si,
    div_si,
};

// Applies op to z and x with y, a value of the width or an immediate (negate
// takes none).
void apply(Arith op, MpValue z, const unsigned char *x, int64_t y) {
    const Bytes yv = sv(y);
    const uint64_t yu = static_cast<uint64_t>(y);
    switch (op) {
    case Arith::add_u: mp_add_u(z, x, yv.data()); break;
    case Arith::sub_u: mp_sub_u(z, x, yv.data()); break;
    case Arith::add_s: mp_add_s(z, x, yv.data()); break;
    case Arith::sub_s: mp_sub_s(z, x, yv.data()); break;
    case Arith::negate: mp_negate(z, x); break;
    case Arith::add_ui: mp_add_ui(z, x, yu); break;
    case Arith::sub_ui: mp_sub_ui(z, x, yu); break;
    case Arith::add_si: mp_add_si(z, x, y); break;
    case Arith::sub_si: mp_sub_si(z, x, y); break;
    case Arith::mul_u: mp_mul_u(z, x, yv.data()); break;
    case Arith::mul_s: mp_mul_s(z, x, yv.data()); break;
    case Arith::div_s: mp_div_s(z, x, yv.data()); break;
    case Arith::mod_s: mp_mod_s(z, x, yv.data()); break;
    case Arith::mul_ui: mp_mul_ui(z, x, yu); break;
    case Arith::div_ui: mp_div_ui(z, x, yu); break;
    case Arith::mul_si: mp_mul_si(z, x, y); break;
    case Arith::div_si: mp_div_si(z, x, y); break;
    }
}

struct ArithCase {
    int32_t width;
    Arith op;
    int64_t x;
    int64_t y;
    Bytes stored;
    bool overflow;
};

void check_cases(const std::vector<ArithCase> &cases) {
    for (size_t row = 0; row < cases.size(); ++row) {
        const ArithCase &c = cases[row];
        SCOPED_TRACE(testing::Message()
                     << "row " << row << ", width " << c.width << ": " << c.x << ", " << c.y);
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
        {32, Arith::add_u, -1, 1, {0, 0, 0, 0}, true},
        {32, Arith::sub_u, 0, 1, {0xFF, 0xFF, 0xFF, 0xFF}, true},
        {20, Arith::add_u, -1, 1, {0, 0, 0}, true},
        {20, Arith::sub_u, 0, 1, {0xFF, 0xFF, 0x0F}, true},
        {8, Arith::add_s, 127, 1, {0x80}, true},
        {8, Arith::add_s, -128, -1, {0x7F}, true},
        {8, Arith::add_s, -1, 1, {0x00}, false},
        {8, Arith::sub_s, -128, 1, {0x7F}, true},
        {8, Arith::sub_s, 0, -128, {0x80}, true},
        {8, Arith::sub_s, -1, -128, {0x7F}, false},
        {8, Arith::negate, -128, 0, {0x80}, true},
        {8, Arith::negate, 0, 0, {0x00}, false},
        {8, Arith::negate, 127, 0, {0x81}, false},
        {24, Arith::add_si, 8388607, 1, {0x00, 0x00, 0x80}, true},
        {8, Arith::add_ui, 200, 55, {0xFF}, false},
        {8, Arith::add_ui, 200, 56, {0x00}, true},
        {8, Arith::add_ui, 0, 300, {0x2C}, true},
        {4, Arith::add_si, -8, 10, {0x02}, true},
        {8, Arith::add_si, -128, 200, {0x48}, false},
        {8, Arith::add_si, -100, 300, {0xC8}, true},
        {16, Arith::sub_si, 0, -300, {0x2C, 0x01}, false},
        // Single-digit immediates at their edges.
        {16, Arith::add_si, 0, 255, {0xFF, 0x00}, false},
        {16, Arith::add_si, 0, -255, {0x01, 0xFF}, false},
        {16, Arith::add_si, 0, 256, {0x00, 0x01}, false},
        {16, Arith::add_si, 0, -256, {0x00, 0xFF}, false},
        {16, Arith::sub_ui, 300, 256, {0x2C, 0x00}, false},
        {16, Arith::sub_ui, 255, 256, {0xFF, 0xFF}, true},
        {9, Arith::add_si, 255, 1, {0x00, 0x01}, true},
        {9, Arith::add_si, -256, 255, {0xFF, 0x01}, false},
        // At 8 bits a one-digit immediate of 128 to 255 is added exactly; an
        // exact result outside the width overflows even where the sign of
        // the stored bits alone would not show it.
        {8, Arith::add_si, 127, 255, {0x7E}, true},
        {8, Arith::add_si, -1, 255, {0xFE}, true},
        {8, Arith::add_si, 1, -255, {0x02}, true},
        {8, Arith::sub_si, 0, 255, {0x01}, true},
        {8, Arith::sub_si, -128, 255, {0x81}, true},
        {8, Arith::sub_si, 100, 200, {0x9C}, false},
        {8, Arith::sub_si, -100, -200, {0x64}, false},
    });
}

// A client's op that leaves by an exception, a C++ one or a raise, leaves
// through mp_apply_imm unchanged, having seen the immediate in scratch value
// 2; the width and the values are as they were, and the next call works.
TEST(MpAddTest, ApplyImmPassesAThrowingOpThrough) {
    static Exit how = Exit::cxx;
    static int64_t seen = 0;
    const MpBinaryFn leaving_op = [](MpValue z, const unsigned char *, const unsigned char *y) {
        seen = mp_to_signed(y);
        leave(how);
        return z;
    };
    Width width(16);
    const Bytes x = sv(1000);
    for (Exit kind : every_exit) {
        SCOPED_TRACE(name_of(kind));
        how = kind;
        seen = 0;
        Bytes z(static_cast<size_t>(mp_bytes), 0x5A);
        EXPECT_TRUE(left_as(kind, [&] { mp_apply_imm(leaving_op, z.data(), x.data(), -300); }));
        EXPECT_EQ(seen, -300);
        EXPECT_EQ(mp_bits, 16);
        EXPECT_EQ(hex(z), hex(Bytes{0x5A, 0x5A}));
        EXPECT_EQ(mp_apply_imm(mp_add_s, z.data(), x.data(), -300), 0);
        EXPECT_EQ(hex(z), hex(sv(700)));
    }
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
        {8, Arith::mul_u, 16, 16, {0x00}, true},
        {8, Arith::mul_u, 15, 17, {0xFF}, false},
        {8, Arith::mul_s, -100, 2, {0x38}, true},
        {8, Arith::mul_s, -64, 2, {0x80}, false},
        {8, Arith::mul_s, 64, 2, {0x80}, true},
        {8, Arith::mul_s, -128, -1, {0x80}, true},
        {8, Arith::mul_s, -128, 1, {0x80}, false},
        {8, Arith::div_s, -128, -1, {0x80}, true},
        {8, Arith::mod_s, -128, -1, {0x00}, true},
        {32, Arith::div_s, 5, -300, {0xFF, 0xFF, 0xFF, 0xFF}, false},
        {4, Arith::mul_ui, 0, 20, {0x00}, true},
        {8, Arith::div_ui, 200, 300, {0x04}, true},
        {32, Arith::mul_si, 5, -3, {0xF1, 0xFF, 0xFF, 0xFF}, false},
        {32, Arith::mul_si, 1 << 30, 4, {0, 0, 0, 0}, true},
        {32, Arith::mul_si, -100, 3, {0xD4, 0xFE, 0xFF, 0xFF}, false},
        {8, Arith::div_si, -128, -1, {0x80}, true},
        // A one-digit signed product at a width below 8 bits is tested on
        // its magnitude, not on the bits that its negation sets.
        {4, Arith::mul_si, 1, -1, {0x0F}, false},
        {4, Arith::mul_si, -2, 4, {0x08}, false},
        {4, Arith::mul_si, 2, 4, {0x08}, true},
    });
}

TEST(MpMulDivTest, FloorDivisionAndNonNegativeRemainder) {
    Width width(32);
    struct Case {
        int64_t x, y, q, r;
    };
    const Case cases[] = {{7, 2, 3, 1},   {-7, 2, -4, 1},       {7, -2, -4, 1}, {-7, -2, 3, 1},
                          {7, -3, -3, 2}, {-7, 3, -3, 2},       {-7, -3, 2, 1}, {6, -3, -2, 0},
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
    EXPECT_EQ(raised_by([&] { mp_div_ui(z.data(), x.data(), 256); }).exception, &mp_divide_by_zero);
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
    // z may be the storage of x or of y, given room for the wide product.
    for (int32_t w : {10, 16, 72}) {
        SCOPED_TRACE(w);
        Width width(w);
        const size_t wide = static_cast<size_t>((2 * w - 1) / 8 + 1);
        const Bytes x = sv(-300), y = sv(77);
        for (bool is_signed : {false, true}) {
            auto product = [&](MpValue z, const unsigned char *a, const unsigned char *b) {
                if (is_signed)
                    mp_mul_wide_s(z, a, b);
                else
                    mp_mul_wide_u(z, a, b);
            };
            Bytes expected(wide);
            product(expected.data(), x.data(), y.data());
            Bytes in_x(wide, 0);
            std::copy(x.begin(), x.end(), in_x.begin());
            product(in_x.data(), in_x.data(), y.data());
            EXPECT_EQ(hex(in_x), hex(expected)) << "z = x, signed " << is_signed;
            Bytes in_y(wide, 0);
            std::copy(y.begin(), y.end(), in_y.begin());
            product(in_y.data(), x.data(), in_y.data());
            EXPECT_EQ(hex(in_y), hex(expected)) << "z = y, signed " << is_signed;
        }
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
    if (allocated_size_known) {
        EXPECT_EQ(allocated_size(s), 10u);
    }
    mem_release(s);
    s = mp_render(nullptr, 0, 2, x.data());
    EXPECT_EQ(std::string(s), std::string(24, '1'));
    mem_release(s);
    if (allocated_size_known) {
        // k is the largest of 1..5 with 2^k <= base.
        for (int32_t base = 2; base <= 36; ++base) {
            const size_t k = base < 4 ? 1 : base < 8 ? 2 : base < 16 ? 3 : base < 32 ? 4 : 5;
            s = mp_render(nullptr, 0, base, x.data());
            EXPECT_EQ(allocated_size(s), 24 / k + 2) << "base " << base;
            mem_release(s);
        }
    }

    ExceptionFrame f = raised_by([&] { mp_render(buf, 1, 10, sv(42).data()); });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/mp.cpp");
    f = raised_by([&] { mp_render(buf, 2, 10, sv(42).data()); });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/xp.cpp");
    EXPECT_STREQ(mp_render(buf, 3, 10, sv(42).data()), "42");
}

// ---- Formatting

std::string format(const char *directive, const unsigned char *x, int base) {
    char buf[512];
    fmt_buffer(buf, sizeof buf, directive, x, base);
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
        const char *directive;
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
        {"%+ D", 42, 10, "+42"},
        {"%-05D|", -42, 10, "-42  |"},
        {"%+U", 42, 10, "+42"},
        {"%.0D", 0, 10, ""},
        {"%U", -1, 10, "16777215"},
        {"%U", -1, 16, "FFFFFF"},
        {"%U", -1, 2, "111111111111111111111111"},
        {"%08U", 255, 16, "000000FF"},
        {" %D", 7, 10, " 7"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.directive << " " << c.v << " base " << c.base);
        EXPECT_EQ(format(c.directive, sv(c.v).data(), c.base), c.out);
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
        for (const char *directive : {"ab%D", "ab%U"}) {
            char buf[64] = "untouched";
            ExceptionFrame f =
                raised_by([&] { fmt_buffer(buf, sizeof buf, directive, x.data(), base); });
            EXPECT_EQ(f.exception, &assertion_failed) << directive << " " << base;
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
    for (const char *directive : {"%D", "%U", "%40D"}) {
        ExceptionFrame f = raised_by([&] { fmt_buffer(buf, sizeof buf, directive, x.data(), 10); });
        EXPECT_EQ(f.exception, &format_overflow) << directive;
    }
}

// ---- Differential tests against reference models
//
// The models compute each operation's exact result with 128-bit integers
// (widths up to 64 bits) or GMP (any width) and derive what must be stored
// (the exact result modulo 2^width) and what must be raised. Operands are bit
// patterns 0 <= u < 2^w; s(u) is their signed reading. The 128-bit integers
// are the compiler's where it has them, else tests/int128.hpp's; U128 holds
// the same bits read as unsigned where the native type allows it.

#if defined(__SIZEOF_INT128__)
using I128 = __int128;
using U128 = unsigned __int128;
#else
using I128 = Int128;
using U128 = Int128; // used only where the signed reading gives the same bits
#endif

enum class Raised { none, overflow, divide_by_zero, other };

const char *raised_name(Raised r) {
    switch (r) {
    case Raised::none: return "nothing";
    case Raised::overflow: return "mp_overflow";
    case Raised::divide_by_zero: return "mp_divide_by_zero";
    case Raised::other: return "another exception";
    }
    return "?";
}

template <typename F>
Raised raised_kind(F f) {
    const Exception *e = raised_by(f).exception;
    if (e == nullptr)
        return Raised::none;
    if (e == &mp_overflow)
        return Raised::overflow;
    if (e == &mp_divide_by_zero)
        return Raised::divide_by_zero;
    return Raised::other;
}

// ---- Number helpers, one overload per reference type

template <typename T>
T pow2(int k);
template <>
I128 pow2<I128>(int k) {
    return I128{1} << k;
}
template <>
mpz_class pow2<mpz_class>(int k) {
    mpz_class r;
    mpz_ui_pow_ui(r.get_mpz_t(), 2, static_cast<unsigned long>(k));
    return r;
}

// GMP takes 64-bit numbers in 32-bit halves, which an unsigned long holds
// on every machine.
template <typename T>
T from_u64(uint64_t u) {
    return (T(static_cast<unsigned long>(u >> 32)) << 32) +
           T(static_cast<unsigned long>(u & 0xFFFFFFFF));
}
template <>
I128 from_u64<I128>(uint64_t u) {
    return static_cast<I128>(u);
}
template <typename T>
T from_i64(int64_t v) {
    return v < 0 ? T(-from_u64<T>(0 - static_cast<uint64_t>(v)))
                 : from_u64<T>(static_cast<uint64_t>(v));
}
template <>
I128 from_i64<I128>(int64_t v) {
    return v;
}

template <typename T>
T from_bytes(const Bytes &b);
template <>
I128 from_bytes<I128>(const Bytes &b) {
    U128 u = 0;
    for (size_t i = b.size(); i-- > 0;)
        u = u << 8 | b[i];
    return static_cast<I128>(u);
}
template <>
mpz_class from_bytes<mpz_class>(const Bytes &b) {
    mpz_class r;
    mpz_import(r.get_mpz_t(), b.size(), -1, 1, 0, 0, b.data());
    return r;
}

// v modulo 2^bits (two's complement), in the layout of width `bits`.
Bytes to_bytes(I128 v, int bits) {
    Bytes b(static_cast<size_t>((bits - 1) / 8 + 1));
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = i < 16 ? static_cast<unsigned char>(v >> (8 * i)) : (v < 0 ? 0xFF : 0x00);
    b.back() &= static_cast<unsigned char>(0xFF >> (7 - (bits - 1) % 8));
    return b;
}
Bytes to_bytes(const mpz_class &v, int bits) {
    mpz_class r;
    mpz_fdiv_r_2exp(r.get_mpz_t(), v.get_mpz_t(), static_cast<mp_bitcnt_t>(bits));
    Bytes b(static_cast<size_t>((bits - 1) / 8 + 1));
    size_t count = 0;
    mpz_export(b.data(), &count, -1, 1, 0, 0, r.get_mpz_t());
    return b;
}

I128 mod_pow2(I128 v, int k) {
    return k >= 127 ? v : v & ((I128{1} << k) - 1);
}
mpz_class mod_pow2(const mpz_class &v, int k) {
    mpz_class r;
    mpz_fdiv_r_2exp(r.get_mpz_t(), v.get_mpz_t(), static_cast<mp_bitcnt_t>(k));
    return r;
}

I128 floor_div(I128 a, I128 b) {
    I128 q = a / b;
    if (a % b != 0 && (a < 0) != (b < 0))
        --q;
    return q;
}
mpz_class floor_div(const mpz_class &a, const mpz_class &b) {
    mpz_class q;
    mpz_fdiv_q(q.get_mpz_t(), a.get_mpz_t(), b.get_mpz_t());
    return q;
}

I128 shr_floor(I128 a, int s) {
    return a >> (s > 127 ? 127 : s);
}
mpz_class shr_floor(const mpz_class &a, int s) {
    mpz_class q;
    mpz_fdiv_q_2exp(q.get_mpz_t(), a.get_mpz_t(), static_cast<mp_bitcnt_t>(s));
    return q;
}

// x * y for 0 <= x, y < 2^64 (the only unsigned products a 64-bit width
// makes), which can pass the signed 128-bit range: the low w bits, whether
// the product reaches 2^w, and the bytes of the 2w-bit product.
void unsigned_product(I128 x, I128 y, int w, I128 &low, bool &over, Bytes &wide) {
    const U128 p = static_cast<U128>(x) * static_cast<U128>(y);
    low = static_cast<I128>(p & ((static_cast<U128>(1) << w) - 1));
    over = (p >> w) != 0;
    wide = to_bytes(static_cast<I128>(p), 2 * w);
}
void unsigned_product(const mpz_class &x, const mpz_class &y, int w, mpz_class &low, bool &over,
                      Bytes &wide) {
    const mpz_class p = x * y;
    low = mod_pow2(p, w);
    over = p >= pow2<mpz_class>(w);
    wide = to_bytes(p, 2 * w);
}

int sign_of_difference(const I128 &a, const I128 &b) {
    return a < b ? -1 : a > b ? 1 : 0;
}
int sign_of_difference(const mpz_class &a, const mpz_class &b) {
    const int c = cmp(a, b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::string text(const I128 &v) {
    if (v < 0)
        return "-" + text(-v);
    std::string s;
    U128 u = static_cast<U128>(v);
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
        u /= 10;
    } while (u != 0);
    return s;
}

#if defined(__SIZEOF_INT128__)
// Where the compiler has __int128, tests/int128.hpp's stand-in must agree with
// it bit for bit, on operands of every size and sign.
TEST(MpModelTest, PortableInt128AgreesWithTheNativeType) {
    using N = __int128;
    using UN = unsigned __int128;
    const auto portable = [](N n) {
        return Int128(static_cast<int64_t>(n >> 64)) << 64 | Int128(static_cast<uint64_t>(n));
    };
    const auto native = [](Int128 v) {
        return static_cast<N>(static_cast<UN>(static_cast<uint64_t>(v >> 64)) << 64 |
                              static_cast<uint64_t>(v));
    };
    std::mt19937_64 rng(0x5eed1280);
    const auto operand = [&rng]() -> N {
        switch (rng() % 5) {
        case 0: return static_cast<int64_t>(rng());
        case 1: return static_cast<N>(rng());
        case 2: return static_cast<N>(static_cast<UN>(rng()) << 64 | rng());
        case 3: return static_cast<N>(rng() % 1000) - 500;
        default: return static_cast<N>(static_cast<UN>(rng()) << 40);
        }
    };
    for (int i = 0; i < 20000; ++i) {
        const N a = operand(), b = operand();
        const Int128 x = portable(a), y = portable(b);
        const int s = static_cast<int>(rng() % 128);
        SCOPED_TRACE(text(a) + " " + text(b) + " shift " + std::to_string(s));
        ASSERT_EQ(native(x), a);
        EXPECT_EQ(native(x + y), static_cast<N>(static_cast<UN>(a) + static_cast<UN>(b)));
        EXPECT_EQ(native(x - y), static_cast<N>(static_cast<UN>(a) - static_cast<UN>(b)));
        EXPECT_EQ(native(x * y), static_cast<N>(static_cast<UN>(a) * static_cast<UN>(b)));
        EXPECT_EQ(native(-x), static_cast<N>(0 - static_cast<UN>(a)));
        if (b != 0) {
            EXPECT_EQ(native(x / y), a / b);
            EXPECT_EQ(native(x % y), a % b);
        }
        EXPECT_EQ(native(x << s), static_cast<N>(static_cast<UN>(a) << s));
        EXPECT_EQ(native(x >> s), a >> s);
        EXPECT_EQ(native(x & y), a & b);
        EXPECT_EQ(native(x | y), a | b);
        EXPECT_EQ(native(x ^ y), a ^ b);
        EXPECT_EQ(x < y, a < b);
        EXPECT_EQ(x == y, a == b);
        EXPECT_EQ(static_cast<unsigned char>(x), static_cast<unsigned char>(a));
    }
}
#endif

// What an operation must do: raise (or not) and leave these bytes in z
// (z untouched on division by zero), or return this number.
struct Expected {
    Raised raised;
    Bytes bytes;
    I128 number = 0;
};

enum class Op {
    add_u,
    sub_u,
    add_s,
    sub_s,
    mul_u,
    mul_s,
    div_u,
    div_s,
    mod_u,
    mod_s,
    bit_and,
    bit_or,
    bit_xor,
    mul_wide_u,
    mul_wide_s,
    compare_u,
    compare_s,
};

struct BinaryOp {
    Op op;
    const char *name;
    MpBinaryFn fn;
};
const BinaryOp binary_ops[] = {
    {Op::add_u, "add_u", mp_add_u},
    {Op::sub_u, "sub_u", mp_sub_u},
    {Op::add_s, "add_s", mp_add_s},
    {Op::sub_s, "sub_s", mp_sub_s},
    {Op::mul_u, "mul_u", mp_mul_u},
    {Op::mul_s, "mul_s", mp_mul_s},
    {Op::div_u, "div_u", mp_div_u},
    {Op::div_s, "div_s", mp_div_s},
    {Op::mod_u, "mod_u", mp_mod_u},
    {Op::mod_s, "mod_s", mp_mod_s},
    {Op::bit_and, "bit_and", mp_bit_and},
    {Op::bit_or, "bit_or", mp_bit_or},
    {Op::bit_xor, "bit_xor", mp_bit_xor},
    {Op::mul_wide_u, "mul_wide_u", mp_mul_wide_u},
    {Op::mul_wide_s, "mul_wide_s", mp_mul_wide_s},
};

enum class ImmOp {
    add_ui,
    sub_ui,
    mul_ui,
    div_ui,
    mod_ui,
    bit_and_i,
    bit_or_i,
    bit_xor_i,
    compare_ui,
    add_si,
    sub_si,
    mul_si,
    div_si,
    mod_si,
    compare_si,
};
const struct {
    ImmOp op;
    const char *name;
} imm_ops[] = {
    {ImmOp::add_ui, "add_ui"},         {ImmOp::sub_ui, "sub_ui"},
    {ImmOp::mul_ui, "mul_ui"},         {ImmOp::div_ui, "div_ui"},
    {ImmOp::mod_ui, "mod_ui"},         {ImmOp::bit_and_i, "bit_and_i"},
    {ImmOp::bit_or_i, "bit_or_i"},     {ImmOp::bit_xor_i, "bit_xor_i"},
    {ImmOp::compare_ui, "compare_ui"}, {ImmOp::add_si, "add_si"},
    {ImmOp::sub_si, "sub_si"},         {ImmOp::mul_si, "mul_si"},
    {ImmOp::div_si, "div_si"},         {ImmOp::mod_si, "mod_si"},
    {ImmOp::compare_si, "compare_si"},
};

// Runs an immediate operation; the number it returns (remainder or
// comparison) goes to `number`.
void run_imm(ImmOp op, MpValue z, const unsigned char *x, uint64_t y, I128 &number) {
    const auto yi = static_cast<int64_t>(y);
    switch (op) {
    case ImmOp::add_ui: mp_add_ui(z, x, y); break;
    case ImmOp::sub_ui: mp_sub_ui(z, x, y); break;
    case ImmOp::mul_ui: mp_mul_ui(z, x, y); break;
    case ImmOp::div_ui: mp_div_ui(z, x, y); break;
    case ImmOp::mod_ui: number = mp_mod_ui(x, y); break;
    case ImmOp::bit_and_i: mp_bit_and_i(z, x, y); break;
    case ImmOp::bit_or_i: mp_bit_or_i(z, x, y); break;
    case ImmOp::bit_xor_i: mp_bit_xor_i(z, x, y); break;
    case ImmOp::compare_ui: number = mp_compare_ui(x, y); break;
    case ImmOp::add_si: mp_add_si(z, x, yi); break;
    case ImmOp::sub_si: mp_sub_si(z, x, yi); break;
    case ImmOp::mul_si: mp_mul_si(z, x, yi); break;
    case ImmOp::div_si: mp_div_si(z, x, yi); break;
    case ImmOp::mod_si: number = mp_mod_si(x, yi); break;
    case ImmOp::compare_si: number = mp_compare_si(x, yi); break;
    }
}

bool returns_number(ImmOp op) {
    return op == ImmOp::mod_ui || op == ImmOp::mod_si || op == ImmOp::compare_ui ||
           op == ImmOp::compare_si;
}
bool is_comparison(ImmOp op) {
    return op == ImmOp::compare_ui || op == ImmOp::compare_si;
}

I128 to_i128(const I128 &v) {
    return v;
}
I128 to_i128(const mpz_class &v) {
    if (v < 0)
        return -to_i128(mpz_class(-v));
    EXPECT_LE(mpz_sizeinbase(v.get_mpz_t(), 2), 64u) << v.get_str();
    // In 32-bit halves, which an unsigned long holds on every machine.
    const mpz_class high = v >> 32, low = v - (high << 32);
    return static_cast<I128>(mpz_get_ui(high.get_mpz_t())) << 32 |
           static_cast<I128>(mpz_get_ui(low.get_mpz_t()));
}

template <typename T>
class Model {
  public:
    explicit Model(int w) : w_(w), two_w_(pow2<T>(w)), half_(pow2<T>(w - 1)) {}

    T s(const T &u) const { return u >= half_ ? T(u - two_w_) : u; }
    bool in_s(const T &v) const { return v >= -half_ && v < half_; }
    bool in_u(const T &v) const { return v >= 0 && v < two_w_; }
    const T &two_w() const { return two_w_; }
    const T &half() const { return half_; }

    Expected value(const T &exact, bool overflow, int bits = 0) const {
        return {overflow ? Raised::overflow : Raised::none, to_bytes(exact, bits ? bits : w_)};
    }
    static Expected by_zero() { return {Raised::divide_by_zero, {}}; }

    Expected binary(Op op, const T &xu, const T &yu) const {
        const T xs = s(xu), ys = s(yu);
        switch (op) {
        case Op::add_u: return unsigned_result(T(xu + yu));
        case Op::sub_u: return unsigned_result(T(xu - yu));
        case Op::add_s: return signed_result(T(xs + ys));
        case Op::sub_s: return signed_result(T(xs - ys));
        case Op::mul_u:
        case Op::mul_wide_u: {
            T low;
            bool over = false;
            Bytes wide;
            unsigned_product(xu, yu, w_, low, over, wide);
            if (op == Op::mul_wide_u)
                return {Raised::none, wide};
            return value(low, over);
        }
        case Op::mul_s: return signed_result(T(xs * ys));
        case Op::mul_wide_s: return value(T(xs * ys), false, 2 * w_);
        case Op::div_u: return yu == 0 ? by_zero() : value(T(xu / yu), false);
        case Op::mod_u: return yu == 0 ? by_zero() : value(T(xu % yu), false);
        case Op::div_s: return ys == 0 ? by_zero() : signed_result(floor_div(xs, ys));
        case Op::mod_s: return ys == 0 ? by_zero() : signed_remainder(xs, ys, false);
        case Op::bit_and: return value(T(xu & yu), false);
        case Op::bit_or: return value(T(xu | yu), false);
        case Op::bit_xor: return value(T(xu ^ yu), false);
        case Op::compare_u: return comparison(xu, yu);
        case Op::compare_s: return comparison(xs, ys);
        }
        return {Raised::other, {}};
    }

    // Immediates of 0..255 (unsigned) or -255..255 (signed) act exactly,
    // their own range tested only below 8 bits (unsigned) or at 7 bits and
    // less (signed); larger ones act reduced to the width and raise when
    // they did not fit it.
    Expected immediate(ImmOp op, const T &xu, uint64_t y) const {
        const T xs = s(xu);
        const auto yi = static_cast<int64_t>(y);
        const T yu = from_u64<T>(y);
        const bool u_single = y <= 255;
        const bool u_extra = u_single ? (w_ < 8 && yu >= two_w_) : yu >= two_w_;
        const T u_y = u_single ? yu : mod_pow2(yu, w_);
        const T yv = from_i64<T>(yi);
        const bool s_single = yi >= -255 && yi <= 255;
        const bool s_fits = w_ >= 64 || in_s(yv);
        const bool s_extra = s_single ? (w_ <= 7 && !s_fits) : !s_fits;
        const T s_y = s_single ? yv : s(mod_pow2(yv, w_));
        switch (op) {
        case ImmOp::add_ui: return extra(unsigned_result(T(xu + u_y)), u_extra);
        case ImmOp::sub_ui: return extra(unsigned_result(T(xu - u_y)), u_extra);
        case ImmOp::mul_ui: {
            T low;
            bool over = false;
            Bytes wide;
            unsigned_product(xu, u_y, w_, low, over, wide);
            return value(low, over || u_extra);
        }
        case ImmOp::div_ui: return u_y == 0 ? by_zero() : value(T(xu / u_y), u_extra);
        case ImmOp::mod_ui: {
            if (u_y == 0)
                return by_zero();
            Expected e = value(T(xu % u_y), u_extra);
            e.number = to_i128(T(xu % u_y));
            return e;
        }
        case ImmOp::bit_and_i: return value(T(xu & mod_pow2(yu, w_)), false);
        case ImmOp::bit_or_i: return value(T(xu | mod_pow2(yu, w_)), false);
        case ImmOp::bit_xor_i: return value(T(xu ^ mod_pow2(yu, w_)), false);
        case ImmOp::compare_ui: return comparison(xu, yu);
        case ImmOp::add_si: return extra(signed_result(T(xs + s_y)), s_extra);
        case ImmOp::sub_si: return extra(signed_result(T(xs - s_y)), s_extra);
        case ImmOp::mul_si: return extra(signed_result(T(xs * s_y)), s_extra);
        case ImmOp::div_si:
            return s_y == 0 ? by_zero() : extra(signed_result(floor_div(xs, s_y)), s_extra);
        case ImmOp::mod_si: {
            if (s_y == 0)
                return by_zero();
            Expected e = signed_remainder(xs, s_y, s_extra);
            e.number = to_i128(remainder(xs, s_y));
            return e;
        }
        case ImmOp::compare_si: return comparison(xs, yv);
        }
        return {Raised::other, {}};
    }

  private:
    Expected unsigned_result(const T &e) const { return value(e, !in_u(e)); }
    Expected signed_result(const T &e) const { return value(e, !in_s(e)); }
    static Expected extra(Expected e, bool raise) {
        if (raise && e.raised == Raised::none)
            e.raised = Raised::overflow;
        return e;
    }
    // 0 <= r < |y|: x - y * floor(x / y) for y > 0, its negation for y < 0.
    // Only -2^(w-1) mod -1 overflows (its quotient does not fit).
    static T remainder(const T &xs, const T &ys) {
        T r = xs - ys * floor_div(xs, ys);
        if (ys < 0)
            r = -r;
        return r;
    }
    Expected signed_remainder(const T &xs, const T &ys, bool raise) const {
        return value(remainder(xs, ys), raise || (xs == -half_ && ys == -1));
    }
    static Expected comparison(const T &a, const T &b) {
        Expected e{Raised::none, {}};
        e.number = sign_of_difference(a, b);
        return e;
    }

    int w_;
    T two_w_, half_;
};

// Collects mismatches, reporting the first few in full, and counts every
// result checked.
class Mismatches {
  public:
    // `what` names the results and their oracle, as Compared prints them.
    explicit Mismatches(const char *what) : compared_(what) {}

    template <typename Describe>
    void check(bool ok, Describe describe) {
        if (compared_.agree(ok))
            return;
        if (count_++ < 12)
            ADD_FAILURE() << describe();
    }
    int count() const { return count_; }

  private:
    int count_ = 0;
    Compared compared_;
};

// Boundary values of width w (0, +-1, the signed and unsigned extremes and
// their neighbours, powers of two and their neighbours, one- and two-digit
// edges) and `randoms` random values of random bit lengths.
template <typename T>
std::vector<T> operands(int w, const Model<T> &m, std::mt19937_64 &rng, int randoms,
                        bool every_power) {
    std::vector<T> raw = {T(0),
                          T(1),
                          T(2),
                          T(3),
                          T(255),
                          T(256),
                          T(m.half() - 1),
                          m.half(),
                          T(m.half() + 1),
                          T(m.two_w() - 1),
                          T(m.two_w() - 2),
                          T(m.two_w() - 256)};
    for (int k = 1; k < w; ++k) {
        if (!every_power && k != w / 2 && k != w - 2)
            continue;
        const T p = pow2<T>(k);
        raw.push_back(p - 1);
        raw.push_back(p);
        raw.push_back(p + 1);
        raw.push_back(T(m.two_w() - p));
    }
    for (int i = 0; i < randoms; ++i) {
        const int bits = 1 + static_cast<int>(rng() % static_cast<uint64_t>(w));
        Bytes b(static_cast<size_t>((bits + 7) / 8));
        for (auto &c : b)
            c = static_cast<unsigned char>(rng());
        T v = mod_pow2(from_bytes<T>(b), bits);
        if (rng() % 2 == 0)
            v = T(m.two_w() - v);
        raw.push_back(v);
    }
    std::vector<T> out;
    for (const T &v : raw) {
        const T r = mod_pow2(v, w);
        bool seen = false;
        for (const T &o : out)
            seen = seen || o == r;
        if (!seen)
            out.push_back(r);
    }
    return out;
}

// Immediates around the single-digit edges and the width's edges, their
// negations, and random 64-bit values of random lengths.
std::vector<uint64_t> immediates(int w, std::mt19937_64 &rng, int randoms) {
    std::vector<uint64_t> base = {0, 1, 2, 127, 128, 255, 256, 300};
    for (int k : {w - 1, w}) {
        if (k < 64) {
            const uint64_t p = UINT64_C(1) << k;
            base.insert(base.end(), {p - 1, p, p + 1});
        }
    }
    base.insert(base.end(), {uint64_t{INT64_MAX}, UINT64_C(1) << 63});
    for (int i = 0; i < randoms; ++i)
        base.push_back(rng() >> (rng() % 64));
    std::vector<uint64_t> out;
    for (uint64_t y : base) {
        for (uint64_t v : {y, uint64_t{0} - y}) {
            bool seen = false;
            for (uint64_t o : out)
                seen = seen || o == v;
            if (!seen)
                out.push_back(v);
        }
    }
    return out;
}

std::string describe(const char *op, int w, const Bytes &x, const std::string &y, const Expected &e,
                     Raised got, const Bytes &z, I128 number) {
    std::string s = "width " + std::to_string(w) + ": " + op + "(" + hex(x) + ", " + y + "): ";
    s += std::string("expected ") + raised_name(e.raised) + " [" + hex(e.bytes) + "] " +
         text(e.number);
    s += std::string(", got ") + raised_name(got) + " [" + hex(z) + "] " + text(number);
    return s;
}

// Every two-value operation on every pair of operands, also with z the
// same storage as x and as y; every immediate operation on every operand
// and immediate, also with z the same storage as x.
template <typename T>
void check_width(int w, Mismatches &mismatches, int randoms, int imm_randoms) {
    Width width(w);
    const Model<T> m(w);
    std::mt19937_64 rng(static_cast<uint64_t>(w) * 7919 + 17);
    const std::vector<T> values = operands(w, m, rng, randoms, false);
    std::vector<Bytes> bytes;
    for (const T &v : values)
        bytes.push_back(to_bytes(v, w));
    const Bytes sentinel = to_bytes(T(m.half() + 3), w); // what z holds before a call
    const size_t wide_size = static_cast<size_t>((2 * w - 1) / 8 + 1);
    Bytes z(static_cast<size_t>(mp_bytes)), zw(wide_size), alias;

    auto same = [](const Expected &e, Raised got, const Bytes &out, const Bytes &before) {
        if (got != e.raised)
            return false;
        return out == (e.raised == Raised::divide_by_zero ? before : e.bytes);
    };

    for (size_t i = 0; i < values.size(); ++i) {
        for (size_t j = 0; j < values.size(); ++j) {
            const Bytes &x = bytes[i], &y = bytes[j];
            for (const BinaryOp &op : binary_ops) {
                const Expected e = m.binary(op.op, values[i], values[j]);
                const bool wide = op.op == Op::mul_wide_u || op.op == Op::mul_wide_s;
                Bytes &out = wide ? zw : z;
                out.assign(out.size(), 0);
                std::copy(sentinel.begin(), sentinel.end(), out.begin());
                const Bytes before = out;
                Raised got = raised_kind([&] { op.fn(out.data(), x.data(), y.data()); });
                mismatches.check(same(e, got, out, before),
                                 [&] { return describe(op.name, w, x, hex(y), e, got, out, 0); });
                if (wide || (i * 7 + j) % 4 != 0)
                    continue;
                // z the same value as x, then as y, for a quarter of the pairs.
                alias = x;
                got = raised_kind([&] { op.fn(alias.data(), alias.data(), y.data()); });
                mismatches.check(same(e, got, alias, x), [&] {
                    return describe(op.name, w, x, hex(y) + " (z = x)", e, got, alias, 0);
                });
                alias = y;
                got = raised_kind([&] { op.fn(alias.data(), x.data(), alias.data()); });
                mismatches.check(same(e, got, alias, y), [&] {
                    return describe(op.name, w, x, hex(y) + " (z = y)", e, got, alias, 0);
                });
            }
            for (Op op : {Op::compare_u, Op::compare_s}) {
                const Expected e = m.binary(op, values[i], values[j]);
                const int32_t c = op == Op::compare_u ? mp_compare_u(x.data(), y.data())
                                                      : mp_compare_s(x.data(), y.data());
                const I128 got = (c > 0) - (c < 0);
                mismatches.check(got == e.number, [&] {
                    return describe(op == Op::compare_u ? "compare_u" : "compare_s", w, x, hex(y),
                                    e, Raised::none, {}, got);
                });
            }
        }
    }

    const std::vector<uint64_t> imms = immediates(w, rng, imm_randoms);
    for (size_t i = 0; i < values.size(); ++i) {
        const Bytes &x = bytes[i];
        for (uint64_t y : imms) {
            for (const auto &op : imm_ops) {
                Expected e = m.immediate(op.op, values[i], y);
                auto y_text = [y] {
                    return std::to_string(y) + "/" + std::to_string(static_cast<int64_t>(y));
                };
                if (returns_number(op.op)) {
                    I128 number = 0;
                    const Raised got =
                        raised_kind([&] { run_imm(op.op, nullptr, x.data(), y, number); });
                    if (is_comparison(op.op))
                        number = (number > 0) - (number < 0);
                    const bool ok = got == e.raised && (got != Raised::none || number == e.number);
                    mismatches.check(
                        ok, [&] { return describe(op.name, w, x, y_text(), e, got, {}, number); });
                    continue;
                }
                I128 unused = 0;
                z = sentinel;
                Raised got = raised_kind([&] { run_imm(op.op, z.data(), x.data(), y, unused); });
                mismatches.check(same(e, got, z, sentinel),
                                 [&] { return describe(op.name, w, x, y_text(), e, got, z, 0); });
                if ((i + y) % 4 != 0)
                    continue;
                alias = x;
                got = raised_kind([&] { run_imm(op.op, alias.data(), alias.data(), y, unused); });
                mismatches.check(same(e, got, alias, x), [&] {
                    return describe(op.name, w, x, y_text() + " (z = x)", e, got, alias, 0);
                });
            }
        }
    }
}

// Widths whose numerals would outgrow a 32-bit size are refused before
// anything is allocated or changed.
TEST(MpWidthTest, SetWidthRejectsWidthsBeyondTheLargest) {
    for (int32_t n : {mp_max_bits + 1, INT32_MAX}) {
        ExceptionFrame f = raised_by([n] { mp_set_width(n); });
        EXPECT_EQ(f.exception, &assertion_failed) << n;
        EXPECT_STREQ(f.file, "src/mp.cpp");
        EXPECT_EQ(mp_bits, 32) << "unchanged by the failed call";
        EXPECT_EQ(mp_temps[0], static_area);
    }
}

// The sizes derived from a width stay exact at the largest widths, where a
// 32-bit computation of 2 * mp_bits or mp_bits + 2 would overflow.
TEST(MpWidthTest, SizesAtTheLargestWidths) {
    struct Bytes64 {
        int64_t m;
        int64_t bytes;
    };
    for (const Bytes64 &c : std::initializer_list<Bytes64>{
             {2, 1},
             {8, 1},
             {9, 2},
             {2 * int64_t{mp_max_bits}, (int64_t{1} << 29) - 1}, // the widest double width
             {int64_t{1} << 31, int64_t{1} << 28},
             {2 * int64_t{INT32_MAX}, int64_t{1} << 29},
         })
        EXPECT_EQ(mp_width_bytes(c.m), c.bytes) << c.m;

    struct Numeral {
        int32_t bits;
        int32_t base;
        int64_t size;
    };
    for (const Numeral &c : std::initializer_list<Numeral>{
             {24, 10, 24 / 3 + 2},
             {mp_max_bits, 2, INT32_MAX - 1}, // with the sign: INT32_MAX
             {mp_max_bits, 3, INT32_MAX - 1},
             {mp_max_bits, 4, (INT32_MAX - 3) / 2 + 2},
             {mp_max_bits, 36, (INT32_MAX - 3) / 5 + 2},
             {INT32_MAX, 2, int64_t{INT32_MAX} + 2},
         })
        EXPECT_EQ(mp_numeral_size(c.bits, c.base), c.size) << c.bits << " base " << c.base;
}

// Negation, complement and the machine-integer conversions on every
// boundary value (all powers of two) and random ones; the shifts by every
// count up to the width and beyond on a quarter of them.
template <typename T>
void check_unary(int w, Mismatches &mismatches, int randoms) {
    Width width(w);
    const Model<T> m(w);
    std::mt19937_64 rng(static_cast<uint64_t>(w) * 104729 + 3);
    const std::vector<T> values = operands(w, m, rng, randoms, true);
    const size_t shifted = operands(w, m, rng, 0, false).size();
    Bytes z(static_cast<size_t>(mp_bytes)), alias;
    // Every count up to 64 bits; above, the counts near 0, w / 2 and w.
    std::vector<int32_t> counts;
    for (int32_t s = 0; s <= w + 1; ++s)
        if (w <= 64 || s <= 17 || (s >= w / 2 - 1 && s <= w / 2 + 1) || s >= w - 9)
            counts.push_back(s);
    counts.insert(counts.end(), {w + 8, 2 * w + 3, 1000, INT32_MAX});

    auto same = [](const Expected &e, Raised got, const Bytes &out) {
        return got == e.raised && out == e.bytes;
    };
    for (size_t vi = 0; vi < values.size(); ++vi) {
        const T &v = values[vi];
        const Bytes x = to_bytes(v, w);
        const T xs = m.s(v);
        struct Unary {
            const char *name;
            std::function<void(MpValue, const unsigned char *)> fn;
            Expected e;
        };
        std::vector<Unary> ops = {
            {"negate", [](MpValue a, const unsigned char *b) { mp_negate(a, b); },
             m.value(T(-xs), !m.in_s(T(-xs)))},
            {"bit_not", [](MpValue a, const unsigned char *b) { mp_bit_not(a, b); },
             m.value(T(m.two_w() - 1 - v), false)},
        };
        for (int32_t s : counts) {
            if (vi >= shifted && vi % 8 != 0)
                break;
            const T left = s >= w ? T(0) : T(mod_pow2(v, w - s) * pow2<T>(s));
            const T right = s >= w ? T(0) : shr_floor(v, s);
            const T arith = shr_floor(xs, s >= w ? w : s);
            ops.push_back({"shift_left",
                           [s](MpValue a, const unsigned char *b) { mp_shift_left(a, b, s); },
                           m.value(left, false)});
            ops.push_back({"shift_right",
                           [s](MpValue a, const unsigned char *b) { mp_shift_right(a, b, s); },
                           m.value(right, false)});
            ops.push_back(
                {"shift_right_arith",
                 [s](MpValue a, const unsigned char *b) { mp_shift_right_arith(a, b, s); },
                 m.value(arith, false)});
        }
        for (size_t index = 0; index < ops.size(); ++index) {
            const Unary &op = ops[index];
            auto what = [&] {
                return std::string(op.name) +
                       (index >= 2 ? " by " + std::to_string(counts[(index - 2) / 3]) : "");
            };
            z.assign(z.size(), 0x00);
            Raised got = raised_kind([&] { op.fn(z.data(), x.data()); });
            mismatches.check(same(op.e, got, z),
                             [&] { return describe(what().c_str(), w, x, "-", op.e, got, z, 0); });
            alias = x;
            got = raised_kind([&] { op.fn(alias.data(), alias.data()); });
            mismatches.check(same(op.e, got, alias), [&] {
                return describe((what() + " (z = x)").c_str(), w, x, "-", op.e, got, alias, 0);
            });
        }

        // To machine integers.
        int64_t sv64 = 0;
        uint64_t uv64 = 0;
        Raised got = raised_kind([&] { sv64 = mp_to_signed(x.data()); });
        const bool s_fits = xs >= from_i64<T>(INT64_MIN) && xs <= from_i64<T>(INT64_MAX);
        mismatches.check(got == (s_fits ? Raised::none : Raised::overflow) &&
                             (!s_fits || from_i64<T>(sv64) == xs),
                         [&] {
                             return "width " + std::to_string(w) + ": to_signed(" + hex(x) +
                                    ") gave " + std::to_string(sv64);
                         });
        got = raised_kind([&] { uv64 = mp_to_unsigned(x.data()); });
        const bool u_fits = v <= from_u64<T>(UINT64_MAX);
        mismatches.check(got == (u_fits ? Raised::none : Raised::overflow) &&
                             (!u_fits || from_u64<T>(uv64) == v),
                         [&] {
                             return "width " + std::to_string(w) + ": to_unsigned(" + hex(x) +
                                    ") gave " + std::to_string(uv64);
                         });
    }

    // From machine integers.
    for (uint64_t u : immediates(w, rng, randoms)) {
        const T tu = from_u64<T>(u);
        const Expected eu = m.value(tu, tu >= m.two_w());
        z.assign(z.size(), 0x5A);
        Raised got = raised_kind([&] { mp_from_unsigned(z.data(), u); });
        mismatches.check(same(eu, got, z), [&] {
            return describe("from_unsigned", w, {}, std::to_string(u), eu, got, z, 0);
        });
        const auto v = static_cast<int64_t>(u);
        const T tv = from_i64<T>(v);
        const Expected es = m.value(tv, w < 64 && !m.in_s(tv));
        got = raised_kind([&] { mp_from_signed(z.data(), v); });
        mismatches.check(same(es, got, z), [&] {
            return describe("from_signed", w, {}, std::to_string(v), es, got, z, 0);
        });
    }
}

TEST(MpDifferentialTest, SmallWidthsAgainstInt128) {
    Mismatches mismatches("results against the 128-bit model");
    for (int w = 2; w <= 64; ++w) {
        check_width<I128>(w, mismatches, 3, 2);
        check_unary<I128>(w, mismatches, 4);
    }
    EXPECT_EQ(mismatches.count(), 0);
}

const int large_widths[] = {65, 71, 72, 73, 100, 127, 128, 129, 136, 200, 256, 257, 300};

TEST(MpDifferentialTest, LargeWidthsAgainstGmp) {
    Mismatches mismatches("results against GMP");
    for (int w : large_widths) {
        check_width<mpz_class>(w, mismatches, 4, 3);
        check_unary<mpz_class>(w, mismatches, 4);
    }
    EXPECT_EQ(mismatches.count(), 0);
}

// The GMP model agrees with the __int128 one where both apply, so the large
// widths are held to the same rules.
TEST(MpDifferentialTest, GmpModelAtSmallWidths) {
    Mismatches mismatches("results against GMP");
    for (int w : {2, 7, 8, 9, 24, 33, 64}) {
        check_width<mpz_class>(w, mismatches, 2, 1);
        check_unary<mpz_class>(w, mismatches, 2);
    }
    EXPECT_EQ(mismatches.count(), 0);
}

// Every pair of a set of widths, both readings, boundary and random values.
TEST(MpDifferentialTest, ResizeBetweenWidths) {
    const int widths[] = {2,  3,  7,  8,  9,  15,  16,  17,  20,  24,  31, 32,
                          33, 63, 64, 65, 72, 127, 128, 129, 200, 256, 300};
    Mismatches mismatches("results against GMP");
    for (int from : widths) {
        Width width(from);
        const Model<mpz_class> m(from);
        std::mt19937_64 rng(static_cast<uint64_t>(from) + 99);
        for (const mpz_class &v : operands(from, m, rng, 6, false)) {
            const Bytes x = to_bytes(v, from);
            const mpz_class xs = m.s(v);
            for (int to : widths) {
                const Model<mpz_class> target(to);
                Bytes z(static_cast<size_t>((to - 1) / 8 + 1));
                const Expected es = target.value(xs, to < from && !target.in_s(xs), to);
                Raised got = raised_kind([&] { mp_resize_s(to, z.data(), x.data()); });
                mismatches.check(got == es.raised && z == es.bytes, [&] {
                    return describe(("resize_s to " + std::to_string(to)).c_str(), from, x, "-", es,
                                    got, z, 0);
                });
                const Expected eu = target.value(v, v >= target.two_w(), to);
                got = raised_kind([&] { mp_resize_u(to, z.data(), x.data()); });
                mismatches.check(got == eu.raised && z == eu.bytes, [&] {
                    return describe(("resize_u to " + std::to_string(to)).c_str(), from, x, "-", eu,
                                    got, z, 0);
                });
            }
        }
    }
    EXPECT_EQ(mismatches.count(), 0);
}

// Numerals in every base against GMP's, and back through mp_parse; the
// first number too large for the width overflows in each base.
TEST(MpDifferentialTest, RenderAndParseAgainstGmp) {
    Mismatches mismatches("results against GMP");
    for (int w : {2, 5, 8, 12, 20, 24, 31, 64, 65, 100, 129, 256, 300}) {
        Width width(w);
        const Model<mpz_class> m(w);
        std::mt19937_64 rng(static_cast<uint64_t>(w) + 5);
        for (const mpz_class &v : operands(w, m, rng, 4, false)) {
            const Bytes x = to_bytes(v, w);
            for (int base = 2; base <= 36; ++base) {
                const std::string expected = mpz_class(v).get_str(-base);
                char *s = mp_render(nullptr, 0, base, x.data());
                mismatches.check(expected == s, [&] {
                    return "width " + std::to_string(w) + " base " + std::to_string(base) +
                           ": render(" + hex(x) + ") = " + s + ", expected " + expected;
                });
                mem_release(s);
                Bytes z(x.size(), 0x5A);
                char *end = nullptr;
                const std::string lower = mpz_class(v).get_str(base);
                Raised got = raised_kind([&] { mp_parse(z.data(), lower.c_str(), base, &end); });
                mismatches.check(
                    got == Raised::none && z == x && end == lower.c_str() + lower.size(), [&] {
                        return "width " + std::to_string(w) + ": parse(" + lower + ") = " + hex(z);
                    });
            }
        }
        for (int base : {2, 10, 16, 36}) {
            const std::string limit = m.two_w().get_str(base);
            const std::string below = mpz_class(m.two_w() - 1).get_str(base);
            Bytes z(static_cast<size_t>(mp_bytes));
            mismatches.check(
                raised_kind([&] { mp_parse(z.data(), limit.c_str(), base, nullptr); }) ==
                    Raised::overflow,
                [&] { return "width " + std::to_string(w) + ": no overflow for " + limit; });
            mismatches.check(
                raised_kind([&] { mp_parse(z.data(), below.c_str(), base, nullptr); }) ==
                        Raised::none &&
                    z == to_bytes(mpz_class(m.two_w() - 1), w),
                [&] { return "width " + std::to_string(w) + ": " + below + " gave " + hex(z); });
        }
    }
    EXPECT_EQ(mismatches.count(), 0);
}

// Numerals on both sides of 2^64, at a width above it, and buffers one byte
// short or too short by several: a numeral that does not fit raises at the
// digit arrays' renderer, whose buffer then holds the digits written so far,
// least significant first and unterminated.
TEST(MpRenderTest, BufferLimitsAroundTwoToThe64) {
    Width width(100);
    const struct {
        const char *value; // decimal
        int32_t base;
        int32_t size;
        const char *out; // the numeral, or the buffer's start after the raise
        bool raises;
    } cases[] = {
        {"12345", 10, 6, "12345", false},
        {"12345", 10, 5, "54321", true},
        {"12345", 10, 3, "543", true},
        {"18446744073709551615", 16, 17, "FFFFFFFFFFFFFFFF", false},
        {"18446744073709551615", 16, 16, "FFFFFFFFFFFFFFFF", true},
        {"18446744073709551615", 10, 21, "18446744073709551615", false},
        {"18446744073709551615", 10, 4, "516", true},
        {"18446744073709551616", 16, 18, "10000000000000000", false},
        {"18446744073709551616", 16, 17, "00000000000000001", true},
        {"18446744073709551616", 36, 14, "3W5E11264SGSG", false},
        {"18446744073709551616", 36, 5, "GSGS4", true},
    };
    for (const auto &c : cases) {
        const Bytes x = to_bytes(mpz_class(c.value), 100);
        char buf[128];
        std::memset(buf, '#', sizeof buf);
        ExceptionFrame f = raised_by([&] { mp_render(buf, c.size, c.base, x.data()); });
        const std::string what = std::string(c.value) + " base " + std::to_string(c.base) + " in " +
                                 std::to_string(c.size);
        if (c.raises) {
            EXPECT_EQ(f.exception, &assertion_failed) << what;
            EXPECT_STREQ(f.file, "src/xp.cpp") << what;
            EXPECT_EQ(std::string(buf, std::strlen(c.out)), c.out) << what;
            EXPECT_EQ(buf[c.size], '#') << what;
        } else {
            EXPECT_EQ(f.exception, nullptr) << what;
            EXPECT_STREQ(buf, c.out) << what;
        }
    }
}

// Every combination of flags with a few field widths and precisions, in bases
// 10, 16 and 8. At 20 and 24 bits the C library's printf of the value as a
// long long is the reference (for hexadecimal and octal only where it prints
// the same digits: non-negative values). At 129 bits GMP's printf is, for
// the flags in which it follows C (no '0', not both '+' and ' ').
TEST_F(MpFormatTest, FlagsWidthsAndPrecisionsAgainstPrintf) {
    Mismatches mismatches("results against printf");
    const char *const field_widths[] = {"", "1", "9", "47"};
    const char *const precisions[] = {"", ".0", ".5", ".44"};
    struct Base {
        int base;
        char conversion;
        const char *flags; // the flags that C defines for the conversion
    };
    const Base bases[] = {{10, 'd', "-+ 0"}, {16, 'X', "-0"}, {8, 'o', "-0"}};
    for (int w : {20, 24, 129}) {
        Width width(w);
        const Model<mpz_class> m(w);
        std::mt19937_64 rng(static_cast<uint64_t>(w) + 11);
        for (const mpz_class &v : operands(w, m, rng, 2, false)) {
            const Bytes x = to_bytes(v, w);
            for (const bool is_signed : {true, false}) {
                const mpz_class shown = is_signed ? m.s(v) : v;
                for (const Base &b : bases) {
                    if (b.base != 10 && shown < 0 && w <= 64)
                        continue;
                    const std::string set = b.flags;
                    for (unsigned mask = 0; mask < (1u << set.size()); ++mask) {
                        std::string flags;
                        for (size_t i = 0; i < set.size(); ++i)
                            if (mask & (1u << i))
                                flags += set[i];
                        const bool plus_and_space = flags.find('+') != std::string::npos &&
                                                    flags.find(' ') != std::string::npos;
                        if (w > 64 && (flags.find('0') != std::string::npos || plus_and_space))
                            continue;
                        for (const char *fw : field_widths) {
                            for (const char *pr : precisions) {
                                const std::string directive = "%" + flags + fw + pr;
                                const std::string mine =
                                    format((directive + (is_signed ? "D" : "U")).c_str(), x.data(),
                                           b.base);
                                char expected[128];
                                if (w <= 64) {
                                    // The values fit a long long; the sign
                                    // flags apply to unsigned readings too.
                                    const std::string c_directive = directive + "ll" + b.conversion;
                                    std::snprintf(expected, sizeof expected, c_directive.c_str(),
                                                  static_cast<long long>(to_i128(shown)));
                                } else {
                                    gmp_snprintf(expected, sizeof expected,
                                                 (directive + "Z" + b.conversion).c_str(),
                                                 shown.get_mpz_t());
                                }
                                mismatches.check(mine == expected, [&] {
                                    return "width " + std::to_string(w) + " " + directive +
                                           (is_signed ? "D" : "U") + " base " +
                                           std::to_string(b.base) + " of " + hex(x) + ": '" + mine +
                                           "', expected '" + expected + "'";
                                });
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(mismatches.count(), 0);
}

} // namespace
} // namespace lexspot

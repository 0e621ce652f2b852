// SPDX-License-Identifier: MIT

#include <lexspot/mem.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.hpp"
#include <lexspot/assert.hpp>

namespace lexspot {
namespace {

constexpr int64_t huge = INT64_MAX; // far beyond any machine
// Beyond any machine too, and 1 modulo 2^32.
constexpr int64_t beyond_32_bits = (INT64_C(1) << 62) + 1;

// The line of src/mem.cpp at which the function whose definition begins with
// `definition` reports exhaustion for a caller that gives no path: its call
// of raise_exhausted. Read from the source, so that the test follows edits of
// the file; 0 when the function has no such call.
int32_t exhaustion_line(const std::string &definition) {
    std::ifstream in(LEXSPOT_SOURCE_DIR "/src/mem.cpp");
    std::string text;
    bool inside = false;
    for (int32_t number = 1; std::getline(in, text); ++number) {
        if (text.rfind(definition, 0) == 0)
            inside = true;
        else if (inside && text == "}")
            return 0;
        else if (inside && text.find("raise_exhausted(") != std::string::npos)
            return number;
    }
    return 0;
}

const int32_t allocate_line = exhaustion_line("void *mem_allocate(");
const int32_t zeroed_line = exhaustion_line("void *mem_allocate_zeroed(");
const int32_t reallocate_line = exhaustion_line("void *mem_reallocate(");

TEST(MemTest, PreconditionsRaiseAtMem) {
    void *block = mem_allocate(16);
    struct Case {
        const char *what;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"allocate 0", [] { mem_allocate(0, "caller.c", 1); }},
        {"allocate -1", [] { mem_allocate(-1, "caller.c", 1); }},
        {"zeroed count 0", [] { mem_allocate_zeroed(0, 4, "caller.c", 1); }},
        {"zeroed count 0 size 0", [] { mem_allocate_zeroed(0, 0, "caller.c", 1); }},
        {"zeroed count -1 size huge", [] { mem_allocate_zeroed(-1, huge, "caller.c", 1); }},
        {"zeroed size 0", [] { mem_allocate_zeroed(4, 0, "caller.c", 1); }},
        {"zeroed size -3", [] { mem_allocate_zeroed(4, -3, "caller.c", 1); }},
        {"reallocate null", [] { mem_reallocate(nullptr, 8, "caller.c", 1); }},
        {"reallocate null size 0", [] { mem_reallocate(nullptr, 0, "caller.c", 1); }},
        {"reallocate size 0", [&] { mem_reallocate(block, 0, "caller.c", 1); }},
        {"reallocate size -1", [&] { mem_reallocate(block, -1, "caller.c", 1); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ExceptionFrame f = raised_by(c.call);
        EXPECT_EQ(f.exception, &assertion_failed);
        EXPECT_STREQ(f.file, "src/mem.cpp");
        EXPECT_GT(f.line, 0);
    }
    // The block survived the failed resize to 0 and is still usable.
    std::memset(block, 0xAB, 16);
    block = mem_reallocate(block, 32);
    EXPECT_EQ(static_cast<unsigned char *>(block)[15], 0xAB);
    mem_release(block);
}

// The count is tested before the element size, so their failures are at
// different lines.
TEST(MemTest, ZeroedTestsCountFirst) {
    ExceptionFrame count = raised_by([] { mem_allocate_zeroed(0, 0); });
    ExceptionFrame size = raised_by([] { mem_allocate_zeroed(1, 0); });
    EXPECT_LT(count.line, size.line);
}

TEST(MemTest, ZeroedBlockIsZero) {
    auto *p = static_cast<unsigned char *>(mem_allocate_zeroed(8, 3));
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(p[i], 0) << i;
    mem_release(p);
}

TEST(MemTest, ReallocateKeepsContents) {
    auto *p = static_cast<char *>(mem_allocate(4));
    std::memcpy(p, "abcd", 4);
    p = static_cast<char *>(mem_reallocate(p, 1 << 20));
    EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
    p = static_cast<char *>(mem_reallocate(p, 2));
    EXPECT_EQ(std::memcmp(p, "ab", 2), 0);
    mem_release(p);
    mem_release(nullptr);
    mem_release(nullptr, nullptr, -1);
}

// Exhaustion is reported at the caller's location, or, when the caller gives
// no path, at the line of src/mem.cpp where each operation fails; the
// caller's line passes through unchanged.
TEST(MemTest, ExhaustionRaisesAtRequester) {
    auto *block = static_cast<char *>(mem_allocate(8));
    std::memcpy(block, "abcdefgh", 8);
    struct Case {
        const char *what;
        std::function<void()> call;
        const char *file; // expected; null means src/mem.cpp
        int32_t line;     // expected
    };
    const Case cases[] = {
        {"allocate", [] { mem_allocate(huge, "src/text.cpp", 77); }, "src/text.cpp", 77},
        {"zeroed", [] { mem_allocate_zeroed(huge, huge, "src/array.cpp", 5); }, "src/array.cpp", 5},
        {"zeroed product",
         [] { mem_allocate_zeroed(INT64_C(1) << 40, INT64_C(1) << 40, "z.c", 9); }, "z.c", 9},
        {"reallocate", [&] { mem_reallocate(block, huge, "src/mp.cpp", 3); }, "src/mp.cpp", 3},
        // Sizes that a 32-bit size_t would cut down to 1 byte, which the
        // allocator would grant.
        {"allocate 2^62 + 1", [] { mem_allocate(beyond_32_bits, "a.c", 4); }, "a.c", 4},
        {"zeroed 2^62 + 1 each",
         [] { mem_allocate_zeroed(beyond_32_bits, beyond_32_bits, "b.c", 5); }, "b.c", 5},
        {"zeroed 2^62 + 1 by 1", [] { mem_allocate_zeroed(beyond_32_bits, 1, "c.c", 6); }, "c.c",
         6},
        {"zeroed 1 by 2^62 + 1", [] { mem_allocate_zeroed(1, beyond_32_bits, "e.c", 8); }, "e.c",
         8},
        {"reallocate 2^62 + 1", [&] { mem_reallocate(block, beyond_32_bits, "d.c", 7); }, "d.c", 7},
        {"line 0", [] { mem_allocate(huge, "src/text.cpp", 0); }, "src/text.cpp", 0},
        {"line -2", [] { mem_allocate(huge, "src/text.cpp", -2); }, "src/text.cpp", -2},
        {"allocate no path", [] { mem_allocate(huge, nullptr, 77); }, nullptr, allocate_line},
        {"zeroed no path", [] { mem_allocate_zeroed(huge, huge, nullptr, 77); }, nullptr,
         zeroed_line},
        {"reallocate no path", [&] { mem_reallocate(block, huge, nullptr, 77); }, nullptr,
         reallocate_line},
    };
    std::set<int32_t> own_lines;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ExceptionFrame f = raised_by(c.call);
        EXPECT_EQ(f.exception, &allocation_failed);
        EXPECT_STREQ(f.file, c.file != nullptr ? c.file : "src/mem.cpp");
        EXPECT_EQ(f.line, c.line);
        if (c.file == nullptr) {
            EXPECT_GT(c.line, 0) << "no raise_exhausted call found in src/mem.cpp";
            own_lines.insert(f.line);
        }
    }
    // Each operation at its own line, not one shared by all three.
    EXPECT_EQ(own_lines.size(), 3u);
    // A failed resize leaves the block as it was: still 8 bytes, still there.
    EXPECT_EQ(std::memcmp(block, "abcdefgh", 8), 0);
    block = static_cast<char *>(mem_reallocate(block, 16));
    EXPECT_EQ(std::memcmp(block, "abcdefgh", 8), 0);
    mem_release(block);
}

// Where size_t has 64 bits, a request above 4 GiB is the allocator's to
// grant: none is refused for want of 32 bits. Each block is written at both
// ends, which faults where it is shorter, and a zeroed one reads zero there
// first.
TEST(MemTest, RequestsAbove4GiBAreGrantedWhereSizeTHas64Bits) {
    if (sizeof(size_t) < 8)
        GTEST_SKIP() << "size_t has " << 8 * sizeof(size_t)
                     << " bits: a request above 4 GiB is refused without asking malloc";
#ifdef LEXSPOT_ASAN
    GTEST_SKIP() << "the sanitizer's allocator takes seconds to mark the shadow of a 4 GiB block "
                    "when it allocates it and again when it frees it";
#endif
    constexpr int64_t big = (INT64_C(1) << 32) + 1;
    void *probe = std::malloc(static_cast<size_t>(big));
    if (probe == nullptr)
        GTEST_SKIP() << "malloc refuses 4 GiB + 1 bytes here";
    std::free(probe);

    const auto check_ends = [](void *block, bool zeroed) {
        volatile auto *p = static_cast<unsigned char *>(block);
        if (zeroed) {
            EXPECT_EQ(p[0], 0);
            EXPECT_EQ(p[big - 1], 0);
        }
        p[0] = 1;
        p[big - 1] = 2;
        mem_release(block);
    };
    struct Case {
        const char *what;
        std::function<void *()> call;
        bool zeroed;
    };
    const Case cases[] = {
        {"allocate", [] { return mem_allocate(big); }, false},
        {"zeroed 1 by 4 GiB + 1", [] { return mem_allocate_zeroed(1, big); }, true},
        {"zeroed 4 GiB + 1 by 1", [] { return mem_allocate_zeroed(big, 1); }, true},
        {"reallocate", [] { return mem_reallocate(mem_allocate(16), big); }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        void *block = nullptr;
        const ExceptionFrame f = raised_by([&] { block = c.call(); });
        if (f.exception != nullptr) {
            ADD_FAILURE() << f.exception->reason << " raised at " << f.file << ":" << f.line;
            continue;
        }
        check_ends(block, c.zeroed);
    }
}

// The default location is the caller's own line.
TEST(MemTest, DefaultLocationIsTheCall) {
    const int32_t expected = __LINE__ + 1;
    ExceptionFrame f = raised_by([] { mem_allocate(huge); });
    EXPECT_STREQ(f.file, "tests/mem_test.cpp");
    EXPECT_EQ(f.line, expected);
}

// The sanitizer's allocator may write a warning of its own before the report,
// so only the report's end is compared exactly.
TEST(MemDeathTest, UncaughtExhaustionNamesTheRequester) {
    EXPECT_EXIT(mem_allocate(huge, "src/table.cpp", 120), ::testing::KilledBySignal(SIGABRT),
                abort_report(::testing::EndsWith("Uncaught exception Allocation Failed raised at "
                                                 "src/table.cpp:120\naborting...\n")));
    ASSERT_GT(allocate_line, 0);
    EXPECT_EXIT(mem_allocate(huge, nullptr, 120), ::testing::KilledBySignal(SIGABRT),
                abort_report(::testing::EndsWith(
                    "Uncaught exception Allocation Failed raised at src/mem.cpp:" +
                    std::to_string(allocate_line) + "\naborting...\n")));
}

} // namespace
} // namespace lexspot

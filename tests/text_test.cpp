// SPDX-License-Identifier: MIT

#include <lexspot/text.hpp>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "failing_alloc.hpp"
#include "test_support.hpp"
#include "text_model.hpp"
#include <lexspot/assert.hpp>
#include <lexspot/mem.hpp>

namespace lexspot {
namespace {

// A test that leaves a block allocated fails.
[[maybe_unused]] const bool leak_check = failing_alloc::check_every_test_for_leaks();

namespace model = text_model;

// True when `f` raised `assertion_failed` at the text module.
template <typename F>
bool asserts_in_text(F f) {
    ExceptionFrame seen = raised_by(f);
    return seen.exception == &assertion_failed && seen.file != nullptr &&
           std::strcmp(seen.file, "src/text.cpp") == 0 && seen.line > 0;
}

std::string str(Text t) {
    return std::string(t.str, static_cast<size_t>(t.len));
}

Text wrap(const std::string &s) {
    return text_wrap(s.data(), static_cast<int>(s.size()));
}

// Every test starts from an empty string space and returns it to empty.
class TextTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(text_current_chunk, &text_head_chunk);
        ASSERT_EQ(text_head_chunk.next, nullptr);
        mark_ = text_mark();
    }
    void TearDown() override {
        text_release(&mark_);
        EXPECT_EQ(text_current_chunk, &text_head_chunk);
        EXPECT_EQ(text_head_chunk.next, nullptr);
    }

    static char *avail() { return text_current_chunk->avail; }

    TextMark *mark_ = nullptr;
};
using TextPositionTest = TextTest;
using TextCompareTest = TextTest;
using TextScanTest = TextTest;

// ---- Constants

TEST(TextConstantsTest, TableAndConstants) {
    for (int k = 0; k < 256; ++k)
        EXPECT_EQ(static_cast<unsigned char>(text_char_table[k]), k);
    struct Case {
        const char *name;
        Text t;
        int len;
        int first; // table index of str
    };
    const Case cases[] = {
        {"all", text_all_chars, 256, 0},         {"ascii", text_ascii_chars, 127, 0},
        {"upper", text_upper_letters, 26, 65},   {"lower", text_lower_letters, 26, 97},
        {"digits", text_decimal_digits, 10, 48}, {"none", text_none, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.t.len, c.len);
        EXPECT_EQ(c.t.str, text_char_table + c.first);
    }
    EXPECT_EQ(str(text_upper_letters), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_EQ(str(text_lower_letters), "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(str(text_decimal_digits), "0123456789");
    EXPECT_EQ(text_ascii_chars.str[126], '~');
}

// ---- Positions and slices

// Every name from -8 to 8 over a 5-character and an empty Text.
TEST_F(TextPositionTest, EveryNameOfEveryGap) {
    const char hello[] = "hello";
    struct Case {
        Text s;
        int p;
        int expected; // 0: invalid
    };
    const Text five = text_wrap(hello, 5);
    const Text empty = text_wrap(hello, 0);
    std::vector<Case> cases = {
        {five, -8, 0},  {five, -7, 0}, {five, -6, 0},      {five, -5, 1},      {five, -4, 2},
        {five, -3, 3},  {five, -2, 4}, {five, -1, 5},      {five, 0, 6},       {five, 1, 1},
        {five, 2, 2},   {five, 3, 3},  {five, 4, 4},       {five, 5, 5},       {five, 6, 6},
        {five, 7, 0},   {five, 8, 0},  {five, INT_MIN, 0}, {five, INT_MAX, 0}, {empty, -2, 0},
        {empty, -1, 0}, {empty, 0, 1}, {empty, 1, 1},      {empty, 2, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "len " << c.s.len << " position " << c.p);
        if (c.expected == 0)
            EXPECT_TRUE(asserts_in_text([&] { text_position(c.s, c.p); }));
        else
            EXPECT_EQ(text_position(c.s, c.p), c.expected);
    }
}

// Every pair of names from -7 to 7: valid exactly when both are, the same
// slice in either order, sharing s's characters.
TEST_F(TextPositionTest, SlicesOfEveryPair) {
    const std::string hello = "hello";
    const Text s = wrap(hello);
    for (int i = -7; i <= 7; ++i) {
        for (int j = -7; j <= 7; ++j) {
            SCOPED_TRACE(testing::Message() << "slice " << i << ", " << j);
            int64_t a = model::offset(5, i);
            int64_t b = model::offset(5, j);
            if (a < 0 || b < 0) {
                EXPECT_TRUE(asserts_in_text([&] { text_slice(s, i, j); }));
                continue;
            }
            int64_t lo = std::min(a, b);
            Text t = text_slice(s, i, j);
            EXPECT_EQ(t.str, s.str + lo);
            EXPECT_EQ(str(t), model::range(hello, lo, std::max(a, b)));
        }
    }
    EXPECT_EQ(str(text_slice(s, 4, 2)), "el");
    Text end = text_slice(s, 0, 0);
    EXPECT_EQ(end.len, 0);
    EXPECT_EQ(end.str, s.str + 5);
    EXPECT_EQ(text_slice(s, 1, 0).str, s.str);
    EXPECT_EQ(text_slice(s, 1, 0).len, 5);
}

TEST_F(TextPositionTest, InvalidTextsRaise) {
    const char c = 'x';
    const Text bad[] = {{-1, &c}, {0, nullptr}, {1, nullptr}};
    for (Text b : bad) {
        EXPECT_TRUE(asserts_in_text([&] { text_position(b, 1); }));
        EXPECT_TRUE(asserts_in_text([&] { text_slice(b, 1, 1); }));
        EXPECT_TRUE(asserts_in_text([&] { text_concat(b, text_none); }));
        EXPECT_TRUE(asserts_in_text([&] { text_concat(text_none, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_compare(b, text_none); }));
        EXPECT_TRUE(asserts_in_text([&] { text_compare(text_none, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_to_cstr(nullptr, 0, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_find_char(b, 1, 1, 'x'); }));
        EXPECT_TRUE(asserts_in_text([&] { text_rfind_char(b, 1, 1, 'x'); }));
        EXPECT_TRUE(asserts_in_text([&] { text_find_in_set(b, 1, 1, text_none); }));
        EXPECT_TRUE(asserts_in_text([&] { text_find_in_set(text_none, 1, 1, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_rfind_in_set(text_none, 1, 1, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_step_in_set(text_none, 1, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_span_set(b, 1, 1, text_none); }));
        EXPECT_TRUE(asserts_in_text([&] { text_rspan_set(text_none, 1, 1, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_find_text(text_none, 1, 1, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_rfind_text(b, 1, 1, text_none); }));
        EXPECT_TRUE(asserts_in_text([&] { text_prefix_at(text_none, 1, 1, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_suffix_at(text_none, 1, 1, b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_repeat(b, 1); }));
        EXPECT_TRUE(asserts_in_text([&] { text_reversed(b); }));
        EXPECT_TRUE(asserts_in_text([&] { text_translate(b, &text_none, &text_none); }));
    }
}

// ---- Building and copying out

TEST_F(TextTest, WrapCopiesNothing) {
    const char chars[] = {'a', '\0', 'b'};
    Text t = text_wrap(chars, 3);
    EXPECT_EQ(t.str, chars);
    EXPECT_EQ(t.len, 3);
    EXPECT_EQ(text_wrap(chars, 0).str, chars);
    EXPECT_TRUE(asserts_in_text([] { text_wrap(nullptr, 0); }));
    EXPECT_TRUE(asserts_in_text([&] { text_wrap(chars, -1); }));
    EXPECT_TRUE(asserts_in_text([&] { text_wrap(chars, INT_MIN); }));
}

TEST_F(TextTest, FromCstrCopiesIntoStringSpace) {
    char source[] = "copy me";
    char *before = avail();
    Text t = text_from_cstr(source);
    EXPECT_EQ(t.str, before);
    EXPECT_EQ(avail(), before + 7);
    source[0] = 'X';
    EXPECT_EQ(str(t), "copy me");
    Text empty = text_from_cstr("");
    EXPECT_EQ(empty.len, 0);
    EXPECT_EQ(empty.str, avail());
    EXPECT_EQ(avail(), before + 7);
    EXPECT_TRUE(asserts_in_text([] { text_from_cstr(nullptr); }));
}

// With no chunk at all, an empty copy still has a pointer.
TEST(TextSpaceTest, EmptyCopyWithNoChunk) {
    ASSERT_EQ(text_current_chunk, &text_head_chunk);
    Text empty = text_from_cstr("");
    EXPECT_EQ(empty.len, 0);
    EXPECT_NE(empty.str, nullptr);
    EXPECT_EQ(text_head_chunk.next, nullptr);
    EXPECT_EQ(text_current_chunk, &text_head_chunk);
}

TEST_F(TextTest, ToCstr) {
    const char chars[] = {'a', '\0', 'b'};
    Text t = text_wrap(chars, 3);
    char buf[8];
    std::memset(buf, 'z', sizeof buf);
    EXPECT_TRUE(asserts_in_text([&] { text_to_cstr(buf, 3, t); }));
    EXPECT_EQ(buf[0], 'z'); // nothing written before the check
    EXPECT_TRUE(asserts_in_text([&] { text_to_cstr(buf, -1, t); }));
    EXPECT_EQ(text_to_cstr(buf, 4, t), buf);
    EXPECT_EQ(std::memcmp(buf, "a\0b\0z", 5), 0);

    char *block = text_to_cstr(nullptr, 0, t);
    EXPECT_EQ(std::memcmp(block, "a\0b", 4), 0);
    mem_release(block);
    block = text_to_cstr(nullptr, -5, text_none);
    EXPECT_EQ(block[0], '\0');
    mem_release(block);
    EXPECT_STREQ(text_to_cstr(buf, 1, text_none), "");
}

// ---- String space

TEST_F(TextTest, NewChunkCarriesSpaceBeyondTheRequest) {
    // The fixture's mark made the first chunk: 10240 + 1 bytes, one used.
    EXPECT_EQ(text_current_chunk->limit - avail(), 10240);
    TextChunk *first = text_current_chunk;
    // A request that exactly fills the chunk fits.
    Text fill = text_repeat(text_from_cstr("x"), 10240);
    EXPECT_EQ(fill.len, 10240);
    EXPECT_EQ(text_current_chunk, first);
    EXPECT_EQ(avail(), first->limit);
    // One more byte starts a new chunk, and so does a request above 10240.
    for (int n : {1, 20000}) {
        SCOPED_TRACE(n);
        TextChunk *previous = text_current_chunk;
        std::string chars(static_cast<size_t>(n), 'q');
        Text t = text_from_cstr(chars.c_str());
        EXPECT_EQ(previous->next, text_current_chunk);
        EXPECT_EQ(text_current_chunk->next, nullptr);
        EXPECT_EQ(t.str, reinterpret_cast<char *>(text_current_chunk + 1));
        EXPECT_EQ(text_current_chunk->limit - avail(), 10240);
        EXPECT_EQ(str(t), chars);
    }
    EXPECT_EQ(str(fill), std::string(10240, 'x'));
}

// ---- Joining

TEST_F(TextTest, ConcatReturnsANonEmptyOperandItself) {
    const char chars[] = "abc";
    Text a = text_wrap(chars, 3);
    Text e1 = text_wrap(chars + 1, 0);
    char *before = avail();
    Text r = text_concat(e1, a);
    EXPECT_EQ(r.str, a.str);
    EXPECT_EQ(r.len, 3);
    r = text_concat(a, e1);
    EXPECT_EQ(r.str, a.str);
    EXPECT_EQ(r.len, 3);
    r = text_concat(e1, text_none);
    EXPECT_EQ(r.str, text_none.str);
    EXPECT_EQ(avail(), before);
}

// Adjacent operands are covered without a copy, in any memory.
TEST_F(TextTest, ConcatOfAdjacentTextsCopiesNothing) {
    const std::string hello = "hello, world";
    Text s = wrap(hello);
    char *before = avail();
    Text r = text_concat(text_slice(s, 1, 3), text_slice(s, 3, -3));
    EXPECT_EQ(r.str, s.str);
    EXPECT_EQ(str(r), "hello, wo");
    Text letters =
        text_concat(text_slice(text_upper_letters, 1, 4), text_slice(text_upper_letters, 4, 7));
    EXPECT_EQ(letters.str, text_upper_letters.str);
    EXPECT_EQ(str(letters), "ABCDEF");
    Text made = text_from_cstr("abcdef");
    r = text_concat(text_slice(made, 1, 3), text_slice(made, 3, 0));
    EXPECT_EQ(r.str, made.str);
    EXPECT_EQ(r.len, 6);
    EXPECT_EQ(avail(), before + 6); // only text_from_cstr took space
}

// The left operand is extended in place when it ends at the allocation point
// and the right one fits; building piece by piece copies each piece once.
TEST_F(TextTest, ConcatExtendsTheLatestTextInPlace) {
    const char xyz[] = "xyz";
    Text s1 = text_from_cstr("abc");
    char *before = avail();
    Text r = text_concat(s1, text_wrap(xyz, 3));
    EXPECT_EQ(r.str, s1.str);
    EXPECT_EQ(str(r), "abcxyz");
    EXPECT_EQ(avail(), before + 3);
    EXPECT_EQ(str(s1), "abc");
    for (int k = 0; k < 10; ++k)
        r = text_concat(r, text_wrap(xyz, 3));
    EXPECT_EQ(r.str, s1.str);
    EXPECT_EQ(r.len, 36);
    EXPECT_EQ(avail(), before + 33);

    // A Text that does not end at the allocation point is copied.
    before = avail();
    Text copy = text_concat(s1, text_wrap(xyz, 3));
    EXPECT_EQ(copy.str, before);
    EXPECT_EQ(str(copy), "abcxyz");
    EXPECT_EQ(avail(), before + 6);
}

// A right operand that exactly fills the chunk still extends the left one in
// place; one byte more and both are copied into a new chunk.
TEST_F(TextTest, ConcatInPlaceUpToTheChunkLimit) {
    for (int64_t beyond : {0, 1}) {
        SCOPED_TRACE(beyond);
        Text s1 = text_from_cstr("head");
        TextChunk *chunk = text_current_chunk;
        std::string tail(static_cast<size_t>(chunk->limit - avail() + beyond), 't');
        Text r = text_concat(s1, wrap(tail));
        EXPECT_EQ(str(r), "head" + tail);
        EXPECT_EQ(str(s1), "head");
        if (beyond == 0) {
            EXPECT_EQ(r.str, s1.str);
            EXPECT_EQ(text_current_chunk, chunk);
            EXPECT_EQ(avail(), chunk->limit);
        } else {
            EXPECT_NE(text_current_chunk, chunk);
            EXPECT_EQ(r.str, reinterpret_cast<char *>(text_current_chunk + 1));
            EXPECT_EQ(avail(), r.str + r.len);
        }
    }
}

// A mark's reserved byte keeps a Text made before it from growing into space
// taken after it.
TEST_F(TextTest, MarkStopsJoiningAcrossIt) {
    Text s1 = text_from_cstr("abc");
    TextMark *mark = text_mark();
    char *before = avail();
    Text r = text_concat(s1, text_from_cstr("de"));
    EXPECT_NE(r.str, s1.str);
    EXPECT_EQ(str(r), "abcde");
    EXPECT_EQ(avail(), before + 2 + 5);
    Text rep = text_repeat(s1, 2);
    EXPECT_NE(rep.str, s1.str);
    text_release(&mark);
    EXPECT_EQ(str(s1), "abc");
}

// Lengths that would pass INT32_MAX are refused before anything is read.
TEST_F(TextTest, OverlongResultsRaise) {
    const char chars[] = "ab";
    char *before = avail();
    Text huge = text_wrap(chars, INT_MAX);
    Text one = text_wrap(chars, 1);
    EXPECT_TRUE(asserts_in_text([&] { text_concat(huge, one); }));
    EXPECT_TRUE(asserts_in_text([&] { text_concat(one, huge); }));
    EXPECT_EQ(text_concat(huge, text_none).len, INT_MAX);
    EXPECT_TRUE(asserts_in_text([&] { text_repeat(text_wrap(chars, 2), INT_MAX / 2 + 1); }));
    EXPECT_TRUE(asserts_in_text([&] { text_repeat(one, -1); }));
    EXPECT_TRUE(asserts_in_text([&] { text_repeat(huge, 2); }));
    EXPECT_EQ(text_repeat(huge, 1).str, chars);
    EXPECT_EQ(avail(), before);
}

// ---- Comparison

TEST_F(TextCompareTest, OrderAndExactResults) {
    const char ab[] = "ab";
    const char abc[] = "abc";
    const char hi[] = {'a', char(200)};
    const char lo[] = {'a', char(100)};
    EXPECT_EQ(text_compare(text_all_chars, text_ascii_chars), 129);
    EXPECT_EQ(text_compare(text_ascii_chars, text_all_chars), -129);
    EXPECT_EQ(text_compare(text_wrap(ab, 2), text_wrap(abc, 3)), -1);
    EXPECT_EQ(text_compare(text_wrap(abc, 3), text_wrap(ab, 2)), 1);
    EXPECT_EQ(text_compare(text_wrap(abc, 2), text_wrap(ab, 2)), 0);
    EXPECT_EQ(text_compare(text_wrap(abc, 0), text_wrap(ab, 0)), 0);
    EXPECT_EQ(text_compare(text_wrap(abc, 3), text_wrap(abc, 3)), 0);
    // Bytes compare unsigned; the result is the library memcmp's own, not
    // reduced to 1 (called through a pointer so that it is not folded).
    int (*volatile library_memcmp)(const void *, const void *, size_t) = std::memcmp;
    int r = text_compare(text_wrap(hi, 2), text_wrap(lo, 2));
    EXPECT_GT(r, 0);
    EXPECT_EQ(r, library_memcmp(hi, lo, 2));
    EXPECT_LT(text_compare(text_wrap(lo, 2), text_wrap(hi, 2)), 0);
    EXPECT_LT(text_compare(text_wrap(ab, 2), text_wrap(hi, 2)), 0);
}

// ---- Marks

TEST(TextMarkTest, ReleaseReturnsSpaceAndFreesLaterChunks) {
    TextMark *outer = text_mark();
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(outer->chunk, &text_head_chunk);
    EXPECT_EQ(outer->avail, nullptr);
    TextChunk *first = text_current_chunk;
    Text kept = text_from_cstr("kept");

    // Two marks one after the other record different positions.
    TextMark *inner = text_mark();
    char *inner_avail = inner->avail;
    EXPECT_EQ(inner->chunk, first);
    EXPECT_EQ(inner_avail, kept.str + 4);
    TextMark *next = text_mark();
    EXPECT_EQ(next->avail, inner_avail + 1);
    text_release(&next);
    EXPECT_EQ(next, nullptr);
    EXPECT_EQ(text_current_chunk->avail, inner_avail + 1);

    // Many chunks, then back to the inner mark.
    std::string big(15000, 'z');
    for (int k = 0; k < 5; ++k)
        text_from_cstr(big.c_str());
    EXPECT_NE(text_current_chunk, first);
    text_release(&inner);
    EXPECT_EQ(inner, nullptr);
    EXPECT_EQ(text_current_chunk, first);
    EXPECT_EQ(first->avail, inner_avail);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(str(kept), "kept");

    // A second release through the same handle, or through no handle, raises.
    EXPECT_TRUE(asserts_in_text([&] { text_release(&inner); }));
    EXPECT_TRUE(asserts_in_text([] { text_release(nullptr); }));

    // The mark taken at the start returns the space to empty.
    text_release(&outer);
    EXPECT_EQ(text_current_chunk, &text_head_chunk);
    EXPECT_EQ(text_head_chunk.next, nullptr);
    EXPECT_EQ(text_head_chunk.avail, nullptr);
}

// A mark whose reserved byte cannot be had raises where the chunk was asked
// for, leaves the space as it was and keeps no record (the sanitizer build
// reports a leaked one).
TEST(TextMarkTest, FailedReserveLeavesTheSpaceAlone) {
    ASSERT_EQ(text_current_chunk, &text_head_chunk);
    // Request 1 is the record, request 2 the first chunk.
    ExceptionFrame f = raised_when_request_refused(2, [] { text_mark(); });
    EXPECT_EQ(f.exception, &allocation_failed);
    EXPECT_STREQ(f.file, "src/text.cpp");
    EXPECT_EQ(text_current_chunk, &text_head_chunk);
    EXPECT_EQ(text_head_chunk.next, nullptr);
    EXPECT_EQ(text_head_chunk.avail, nullptr);
}

// Every operation that takes string space, when the current chunk lacks the
// room and the new chunk cannot be had: it raises at src/text and leaves the
// space as it was (chain, allocation point and limit) with nothing allocated.
TEST_F(TextTest, RefusedChunkLeavesTheSpaceAlone) {
    const std::string big(20000, 'b'); // more than a new chunk's spare room
    const std::string half(big.size() / 2, 'h');
    const Text from = text_wrap("bh", 2), to = text_wrap("BH", 2);
    Text last{}; // the last piece taken, which ends at the allocation point
    const struct {
        const char *what;
        int64_t room; // free bytes in the current chunk before the operation
        int32_t requests;
        std::function<Text()> operation;
        std::string result;
    } cases[] = {
        {"from_cstr", 0, 1, [&] { return text_from_cstr(big.c_str()); }, big},
        {"from_cstr, some room", 100, 1, [&] { return text_from_cstr(big.c_str()); }, big},
        {"concat", 0, 1, [&] { return text_concat(wrap(half), wrap(half)); }, half + half},
        {"concat onto the last piece", 0, 1, [&] { return text_concat(last, wrap(big)); },
         std::string(3, 'f') + big},
        {"repeat", 0, 1, [&] { return text_repeat(text_wrap("ab", 2), 10000); },
         [] {
             std::string r;
             for (int k = 0; k < 10000; ++k)
                 r += "ab";
             return r;
         }()},
        {"reversed", 0, 1, [&] { return text_reversed(wrap(half + "x")); }, "x" + half},
        {"translate", 0, 1, [&] { return text_translate(wrap(half), &from, &to); },
         std::string(half.size(), 'H')},
        {"mark", 0, 2,
         [&] {
             TextMark *mark = text_mark();
             text_release(&mark);
             return text_none;
         },
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (int32_t n = 1;; ++n) {
            // Leave exactly `room` bytes in the current chunk, then note where
            // the space stands.
            const auto room = [] { return text_current_chunk->limit - avail(); };
            if (room() < c.room + 3)
                text_from_cstr(std::string(static_cast<size_t>(room() + 1), 'f').c_str());
            while (room() > c.room + 3) {
                const int64_t fill = std::min<int64_t>(room() - c.room - 3, 4000);
                text_from_cstr(std::string(static_cast<size_t>(fill), 'f').c_str());
            }
            last = text_from_cstr("fff");
            TextChunk *const chunk = text_current_chunk;
            char *const at = avail();
            const int64_t live = failing_alloc::live_blocks();
            Text result{};
            ExceptionFrame f{};
            const auto attempt = [&] { f = raised_by([&] { result = c.operation(); }); };
            if (!failing_alloc::with_request_refused(n, attempt)) {
                EXPECT_EQ(f.exception, nullptr);
                EXPECT_EQ(str(result), c.result);
                EXPECT_EQ(n - 1, c.requests);
                break;
            }
            EXPECT_EQ(f.exception, &allocation_failed);
            EXPECT_STREQ(f.file, "src/text.cpp");
            EXPECT_EQ(text_current_chunk, chunk);
            EXPECT_EQ(chunk->next, nullptr);
            EXPECT_EQ(avail(), at);
            EXPECT_EQ(failing_alloc::live_blocks(), live);
            ASSERT_LE(n, c.requests);
        }
    }
}

// Releasing an outer mark reclaims the space of inner ones with it.
TEST(TextMarkTest, OuterReleaseReclaimsInnerMarks) {
    TextMark *outer = text_mark();
    const std::string piece(3000, 'p');
    std::vector<TextMark *> inner;
    for (int k = 0; k < 40; ++k) {
        inner.push_back(text_mark());
        text_from_cstr(piece.c_str());
    }
    EXPECT_NE(text_current_chunk, inner.front()->chunk);
    TextMark *newest = inner.back();
    inner.pop_back();
    text_release(&newest);
    text_release(&outer);
    EXPECT_EQ(text_current_chunk, &text_head_chunk);
    EXPECT_EQ(text_head_chunk.next, nullptr);
    // The module never frees abandoned records; their owner may.
    for (TextMark *mark : inner)
        mem_release(mark);
}

// Builds thousands of chunks and releases them; the sanitizer build checks
// that every chunk is freed and nothing is touched after.
TEST(TextMarkTest, ManyChunksReleased) {
    for (int round = 0; round < 3; ++round) {
        TextMark *mark = text_mark();
        std::string big(9000 + round, 'c');
        std::vector<Text> texts;
        for (int k = 0; k < 2000; ++k)
            texts.push_back(text_from_cstr(big.c_str()));
        int chunks = 0;
        for (TextChunk *c = text_head_chunk.next; c != nullptr; c = c->next)
            ++chunks;
        EXPECT_GE(chunks, 1000);
        EXPECT_EQ(str(texts.front()), big);
        EXPECT_EQ(str(texts.back()), big);
        text_release(&mark);
        EXPECT_EQ(text_current_chunk, &text_head_chunk);
        EXPECT_EQ(text_head_chunk.next, nullptr);
    }
}

// ---- Scanning
//
// Each row gives the range by offsets; every check runs with the range in
// both orders and under both names of each end, and must give the same.

template <typename F>
void expect_for_all_names(const std::string &s, int lo, int hi, int expected, F f) {
    const int n = static_cast<int>(s.size());
    const Text t = wrap(s);
    for (int a : {lo + 1, lo - n})
        for (int b : {hi + 1, hi - n}) {
            SCOPED_TRACE(testing::Message() << "positions " << a << ", " << b);
            EXPECT_EQ(f(t, a, b), expected);
            EXPECT_EQ(f(t, b, a), expected);
        }
}

TEST_F(TextScanTest, CharSearches) {
    const std::string s = "abcab\xe9"
                          "a";
    struct Case {
        int lo, hi, c;
        int find, rfind;
    };
    const Case cases[] = {
        {0, 7, 'a', 1, 7}, {0, 7, 'b', 2, 5},       {1, 4, 'a', 4, 4}, {1, 3, 'a', 0, 0},
        {2, 5, 'c', 3, 3}, {0, 7, 'z', 0, 0},       {3, 3, 'a', 0, 0}, {0, 0, 'a', 0, 0},
        {7, 7, 'a', 0, 0}, {0, 7, 233, 0, 0},       {0, 7, -23, 6, 6}, {0, 5, -23, 0, 0},
        {0, 7, 0, 0, 0},   {0, 7, 'a' + 256, 0, 0}, {6, 7, 'a', 7, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "range " << c.lo << ".." << c.hi << " c " << c.c);
        expect_for_all_names(s, c.lo, c.hi, c.find,
                             [&](Text t, int i, int j) { return text_find_char(t, i, j, c.c); });
        expect_for_all_names(s, c.lo, c.hi, c.rfind,
                             [&](Text t, int i, int j) { return text_rfind_char(t, i, j, c.c); });
    }
    // NUL is an ordinary character.
    const std::string nul("a\0b", 3);
    EXPECT_EQ(text_find_char(wrap(nul), 1, 0, 0), 2);
}

TEST_F(TextScanTest, SetSearches) {
    const std::string s = "ab1_c2 \xe9z";
    const std::string id_first = "abcdefghijklmnopqrstuvwxyz_";
    const std::string word = id_first + "0123456789";
    const std::string high = "\xe9";
    struct Case {
        int lo, hi;
        std::string set;
        int find, rfind, span, rspan;
    };
    const Case cases[] = {
        {0, 9, id_first, 1, 9, 3, 9}, {0, 6, id_first, 1, 5, 3, 0}, {0, 5, word, 1, 5, 6, 1},
        {2, 6, id_first, 4, 5, 0, 0}, {3, 5, word, 4, 5, 6, 4},     {0, 9, "", 0, 0, 0, 0},
        {4, 4, word, 0, 0, 0, 0},     {0, 0, word, 0, 0, 0, 0},     {0, 9, high, 8, 8, 0, 0},
        {7, 8, high, 8, 8, 9, 8},     {0, 9, " ", 7, 7, 0, 0},      {0, 9, "z2zz2", 6, 9, 0, 9},
        {6, 7, " ", 7, 7, 8, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "range " << c.lo << ".." << c.hi << " set " << c.set);
        const Text set = wrap(c.set);
        expect_for_all_names(s, c.lo, c.hi, c.find,
                             [&](Text t, int i, int j) { return text_find_in_set(t, i, j, set); });
        expect_for_all_names(s, c.lo, c.hi, c.rfind,
                             [&](Text t, int i, int j) { return text_rfind_in_set(t, i, j, set); });
        expect_for_all_names(s, c.lo, c.hi, c.span,
                             [&](Text t, int i, int j) { return text_span_set(t, i, j, set); });
        expect_for_all_names(s, c.lo, c.hi, c.rspan,
                             [&](Text t, int i, int j) { return text_rspan_set(t, i, j, set); });
    }
}

TEST_F(TextScanTest, StepInSet) {
    const std::string s = "a1\xe9";
    const Text t = wrap(s);
    const Text word = text_concat(text_lower_letters, text_decimal_digits);
    const Text high = text_slice(text_all_chars, 234, 235);
    struct Case {
        int offset;
        Text set;
        int expected;
    };
    const Case cases[] = {
        {0, word, 2}, {1, word, 3}, {2, word, 0},      {3, word, 0},
        {2, high, 4}, {0, high, 0}, {0, text_none, 0}, {3, text_none, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offset);
        EXPECT_EQ(text_step_in_set(t, c.offset + 1, c.set), c.expected);
        EXPECT_EQ(text_step_in_set(t, c.offset - 3, c.set), c.expected);
    }
    EXPECT_TRUE(asserts_in_text([&] { text_step_in_set(t, 5, word); }));
    EXPECT_TRUE(asserts_in_text([&] { text_step_in_set(t, -4, word); }));
}

TEST_F(TextScanTest, PatternSearches) {
    const std::string s = "aaab\xe9"
                          "aab";
    struct Case {
        int lo, hi;
        std::string pattern;
        int find, rfind, prefix, suffix;
    };
    const Case cases[] = {
        {0, 8, "aa", 1, 6, 3, 0},
        {0, 3, "aa", 1, 2, 3, 2},
        {0, 8, "ab", 3, 7, 0, 7},
        {0, 8, "aab", 2, 6, 0, 6},
        {1, 8, "aaab", 0, 0, 0, 0},
        {0, 8,
         "aaab\xe9"
         "aab",
         1, 1, 9, 1},
        {0, 7,
         "aaab\xe9"
         "aab",
         0, 0, 0, 0},
        {0, 8, "b", 4, 8, 0, 8},
        {0, 8, "\xe9", 5, 5, 0, 0},
        {4, 5, "\xe9", 5, 5, 6, 5},
        {0, 8, "", 1, 9, 1, 9},
        {2, 5, "", 3, 6, 3, 6},
        {4, 4, "", 5, 5, 5, 5},
        {4, 4, "a", 0, 0, 0, 0},
        {3, 6,
         "b\xe9"
         "a",
         4, 4, 7, 4},
        {0, 8, "x", 0, 0, 0, 0},
        {0, 8, "abx", 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "range " << c.lo << ".." << c.hi << " pattern " << c.pattern);
        const Text p = wrap(c.pattern);
        expect_for_all_names(s, c.lo, c.hi, c.find,
                             [&](Text t, int i, int j) { return text_find_text(t, i, j, p); });
        expect_for_all_names(s, c.lo, c.hi, c.rfind,
                             [&](Text t, int i, int j) { return text_rfind_text(t, i, j, p); });
        expect_for_all_names(s, c.lo, c.hi, c.prefix,
                             [&](Text t, int i, int j) { return text_prefix_at(t, i, j, p); });
        expect_for_all_names(s, c.lo, c.hi, c.suffix,
                             [&](Text t, int i, int j) { return text_suffix_at(t, i, j, p); });
    }
}

// The cross-referencer's identifier sets, built from the constants: letters
// and the underscore, and those with the digits. Each row gives, for a range
// of one line, the rightmost letter or underscore and the start of the run
// of set members that ends the range.
TEST_F(TextScanTest, IdentifierSetsFromTheConstants) {
    const Text first =
        text_concat(text_concat(text_upper_letters, text_lower_letters), text_wrap("_", 1));
    const Text word = text_concat(first, text_decimal_digits);
    const std::string line = "Xy = ab1_C2;\xe9z";
    struct Case {
        int lo, hi;
        int rfind_first, rspan_word;
    };
    // A byte above 127 is in neither set; digits and the underscore may
    // stand inside a run and end it; a run that fills the range gives the
    // range's start, not 0; a digit alone is a run but ends no identifier.
    const Case cases[] = {
        {0, 14, 14, 14}, {0, 13, 10, 0}, {0, 10, 10, 6}, {0, 11, 10, 6}, {0, 8, 7, 6},
        {5, 10, 10, 6},  {0, 2, 2, 1},   {2, 5, 0, 0},   {7, 8, 0, 8},   {10, 13, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "range " << c.lo << ".." << c.hi);
        expect_for_all_names(line, c.lo, c.hi, c.rfind_first, [&](Text t, int i, int j) {
            return text_rfind_in_set(t, i, j, first);
        });
        expect_for_all_names(line, c.lo, c.hi, c.rspan_word,
                             [&](Text t, int i, int j) { return text_rspan_set(t, i, j, word); });
    }
}

// Either position outside the Text raises, whatever the other is; the
// checks come before any search.
TEST_F(TextScanTest, InvalidPositionsRaise) {
    const Text s = text_wrap("abc", 3);
    const std::pair<int, int> bad[] = {{5, 1},  {1, 5},       {-4, 0},
                                       {0, -4}, {INT_MIN, 1}, {1, INT_MAX}};
    for (const auto &names : bad) {
        const int i = names.first;
        const int j = names.second;
        SCOPED_TRACE(testing::Message() << i << ", " << j);
        EXPECT_TRUE(asserts_in_text([&] { text_find_char(s, i, j, 'a'); }));
        EXPECT_TRUE(asserts_in_text([&] { text_rfind_char(s, i, j, 'a'); }));
        EXPECT_TRUE(asserts_in_text([&] { text_find_in_set(s, i, j, s); }));
        EXPECT_TRUE(asserts_in_text([&] { text_rfind_in_set(s, i, j, s); }));
        EXPECT_TRUE(asserts_in_text([&] { text_span_set(s, i, j, s); }));
        EXPECT_TRUE(asserts_in_text([&] { text_rspan_set(s, i, j, s); }));
        EXPECT_TRUE(asserts_in_text([&] { text_find_text(s, i, j, s); }));
        EXPECT_TRUE(asserts_in_text([&] { text_rfind_text(s, i, j, s); }));
        EXPECT_TRUE(asserts_in_text([&] { text_prefix_at(s, i, j, s); }));
        EXPECT_TRUE(asserts_in_text([&] { text_suffix_at(s, i, j, s); }));
    }
}

// Every search against the model on random short byte strings, random
// positions (valid and not, under both names) and random targets.
TEST_F(TextScanTest, RandomAgainstModel) {
    std::mt19937 rng(20240611);
    const char alphabet[] = {'a', 'b', 'c', '\0', char(233), char(127), char(128)};
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto random_bytes = [&](int max_len) {
        std::string r(static_cast<size_t>(pick(0, max_len)), 'a');
        for (char &c : r)
            c = alphabet[pick(0, sizeof alphabet - 1)];
        return r;
    };
    const int chars[] = {'a', 'b', 0, 233, -23, 127, -128, 128, 'a' - 256};
    for (int iteration = 0; iteration < 30000; ++iteration) {
        const std::string s = random_bytes(10);
        const std::string target = random_bytes(4);
        const int n = static_cast<int>(s.size());
        const Text t = wrap(s);
        const Text x = wrap(target);
        const int i = pick(-n - 2, n + 2);
        const int j = pick(-n - 2, n + 2);
        const int c = chars[pick(0, sizeof chars / sizeof chars[0] - 1)];
        SCOPED_TRACE(testing::Message()
                     << "iteration " << iteration << " n " << n << " i " << i << " j " << j);
        const int64_t a = model::offset(n, i);
        const int64_t b = model::offset(n, j);
        if (a >= 0)
            ASSERT_EQ(text_step_in_set(t, i, x), model::step_in_set(s, a, target));
        else
            ASSERT_TRUE(asserts_in_text([&] { text_step_in_set(t, i, x); }));
        if (a < 0 || b < 0) {
            ASSERT_TRUE(asserts_in_text([&] { text_find_in_set(t, i, j, x); }));
            ASSERT_TRUE(asserts_in_text([&] { text_suffix_at(t, i, j, x); }));
            continue;
        }
        const int64_t lo = std::min(a, b);
        const int64_t hi = std::max(a, b);
        ASSERT_EQ(text_find_char(t, i, j, c), model::find_char(s, lo, hi, c));
        ASSERT_EQ(text_rfind_char(t, i, j, c), model::rfind_char(s, lo, hi, c));
        ASSERT_EQ(text_find_in_set(t, i, j, x), model::find_in_set(s, lo, hi, target));
        ASSERT_EQ(text_rfind_in_set(t, i, j, x), model::rfind_in_set(s, lo, hi, target));
        ASSERT_EQ(text_span_set(t, i, j, x), model::span_set(s, lo, hi, target));
        ASSERT_EQ(text_rspan_set(t, i, j, x), model::rspan_set(s, lo, hi, target));
        ASSERT_EQ(text_find_text(t, i, j, x), model::find_text(s, lo, hi, target));
        ASSERT_EQ(text_rfind_text(t, i, j, x), model::rfind_text(s, lo, hi, target));
        ASSERT_EQ(text_prefix_at(t, i, j, x), model::prefix_at(s, lo, hi, target));
        ASSERT_EQ(text_suffix_at(t, i, j, x), model::suffix_at(s, lo, hi, target));
        ASSERT_EQ(str(text_slice(t, i, j)), model::range(s, lo, hi));
        const int cmp = text_compare(x, text_slice(t, i, j));
        ASSERT_EQ((cmp > 0) - (cmp < 0), model::compare_sign(target, model::range(s, lo, hi)));
    }
}

// ---- Printing

// A sink that appends to a std::string.
int put_string(int c, void *closure) {
    static_cast<std::string *>(closure)->push_back(static_cast<char>(c));
    return c;
}

// Formats with text_format installed under T, and puts back what was there.
std::string format_text(const char *format, ...) {
    ConversionFn previous = fmt_install('T', text_format);
    ExceptionCleanup restore([&] { fmt_install('T', previous); });
    std::string out;
    va_list args;
    va_start(args, format);
    ExceptionCleanup end([&] { va_end(args); });
    fmt_vemit(put_string, &out, format, args);
    return out;
}

TEST(TextFormatTest, PrintsThroughTheStringEmitter) {
    const Text abc = text_wrap("abc", 3);
    const Text empty = text_wrap("abc", 0);
    const char raw[] = {'a', '\0', char(233)};
    const Text odd = text_wrap(raw, 3);
    struct Case {
        const char *format;
        const Text *t;
        std::string expected;
    };
    const Case cases[] = {
        {"[%T]", &abc, "[abc]"},
        {"[%.2T]", &abc, "[ab]"},
        {"[%6T]", &abc, "[   abc]"},
        {"[%-6T]", &abc, "[abc   ]"},
        {"[%2T]", &abc, "[abc]"},
        {"[%.0T]", &abc, "[]"},
        {"[%.9T]", &abc, "[abc]"},
        {"[%6.1T]", &abc, "[     a]"},
        {"[%3T]", &empty, "[   ]"},
        {"[%T]", &empty, "[]"},
        {"[%T]", &odd, std::string("[a\0\xe9]", 5)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(format_text(c.format, c.t), c.expected);
    }
    EXPECT_EQ(format_text("%*T|%T", -5, &abc, &text_decimal_digits), "abc  |0123456789");
}

// text_format with a null flag array, called directly.
void format_without_flags(std::string *out, ...) {
    va_list args;
    va_start(args, out);
    ExceptionCleanup end([&] { va_end(args); });
    text_format('T', args, put_string, out, nullptr, fmt_unspecified, fmt_unspecified);
}

TEST(TextFormatTest, MissingOrInvalidTextsRaise) {
    const Text bad = {-1, "x"};
    const Text null_str = {0, nullptr};
    const Text abc = text_wrap("abc", 3);
    EXPECT_TRUE(asserts_in_text([] { format_text("%T", static_cast<const Text *>(nullptr)); }));
    EXPECT_TRUE(asserts_in_text([&] { format_text("%T", &bad); }));
    EXPECT_TRUE(asserts_in_text([&] { format_text("%T", &null_str); }));
    std::string out;
    EXPECT_TRUE(asserts_in_text([&] { format_without_flags(&out, &abc); }));
    EXPECT_EQ(out, "");
}

// ---- Repetition, reversal and translation

TEST_F(TextTest, RepeatPaths) {
    const char ab[] = "ab";
    char *before = avail();
    for (int n : {0, 3}) {
        Text r = text_repeat(text_wrap(ab, 0), n);
        EXPECT_EQ(r.len, 0);
        EXPECT_EQ(r.str, text_none.str);
    }
    Text zero = text_repeat(text_wrap(ab, 2), 0);
    EXPECT_EQ(zero.len, 0);
    EXPECT_EQ(zero.str, text_none.str);
    Text once = text_repeat(text_wrap(ab, 2), 1);
    EXPECT_EQ(once.str, ab);
    EXPECT_EQ(once.len, 2);
    EXPECT_EQ(avail(), before);

    // Caller memory: a new copy in string space.
    Text twice = text_repeat(text_wrap(ab, 2), 2);
    EXPECT_EQ(twice.str, before);
    EXPECT_EQ(str(twice), "abab");
    EXPECT_EQ(avail(), before + 4);

    // The latest Text: extended in place by n - 1 copies.
    Text s = text_from_cstr("xyz");
    before = avail();
    Text thrice = text_repeat(s, 3);
    EXPECT_EQ(thrice.str, s.str);
    EXPECT_EQ(str(thrice), "xyzxyzxyz");
    EXPECT_EQ(avail(), before + 6);
    EXPECT_EQ(str(s), "xyz");

    // No room for the further copies: a fresh copy in a new chunk.
    TextChunk *chunk = text_current_chunk;
    int copies = static_cast<int>((chunk->limit - avail()) / 9) + 2;
    Text many = text_repeat(thrice, copies);
    EXPECT_NE(text_current_chunk, chunk);
    EXPECT_EQ(many.str, reinterpret_cast<char *>(text_current_chunk + 1));
    EXPECT_EQ(str(many), model::repeat("xyzxyzxyz", copies));
}

TEST_F(TextTest, Reversed) {
    const char abc[] = "abc";
    char *before = avail();
    Text r = text_reversed(text_wrap(abc, 3));
    EXPECT_EQ(r.str, before);
    EXPECT_EQ(str(r), "cba");
    Text one = text_reversed(text_wrap(abc, 1));
    EXPECT_EQ(one.str, abc);
    EXPECT_EQ(one.len, 1);
    Text none = text_reversed(text_wrap(abc, 0));
    EXPECT_EQ(none.str, text_none.str);
    EXPECT_EQ(none.len, 0);
    EXPECT_EQ(avail(), before + 3);
    Text all = text_reversed(text_all_chars);
    for (int k = 0; k < 256; ++k)
        EXPECT_EQ(static_cast<unsigned char>(all.str[k]), 255 - k);
}

// The map's life once built: reused with null arguments, replaced, and reset
// to the identity by a failed build. (Before any build: a death test below.)
TEST_F(TextTest, TranslateMapLifecycle) {
    const Text word = text_wrap("Hello, World \xe9!", 15);
    EXPECT_TRUE(asserts_in_text([&] { text_translate(word, &text_lower_letters, nullptr); }));
    EXPECT_TRUE(asserts_in_text([&] { text_translate(word, nullptr, &text_upper_letters); }));

    // An empty Text still builds the map, and the result is the empty one.
    Text e = text_translate(text_slice(word, 3, 3), &text_lower_letters, &text_upper_letters);
    EXPECT_EQ(e.len, 0);
    EXPECT_EQ(e.str, text_none.str);
    EXPECT_TRUE(text_translate_map_set);
    EXPECT_EQ(str(text_translate(word, nullptr, nullptr)), "HELLO, WORLD \xe9!");

    // Bytes above 127 go through their own entries.
    const Text backwards = text_reversed(text_all_chars);
    const unsigned char high[] = {200, 0, 255, 'a'};
    Text t = text_translate(text_wrap(reinterpret_cast<const char *>(high), 4), &text_all_chars,
                            &backwards);
    ASSERT_EQ(t.len, 4);
    EXPECT_EQ(static_cast<unsigned char>(t.str[0]), 55);
    EXPECT_EQ(static_cast<unsigned char>(t.str[1]), 255);
    EXPECT_EQ(static_cast<unsigned char>(t.str[2]), 0);
    EXPECT_EQ(static_cast<unsigned char>(t.str[3]), 255 - 'a');

    // A new map replaces the old one entirely; a repeated character takes
    // the pairing of its last occurrence.
    const Text from = text_wrap("aba", 3);
    const Text to = text_wrap("xyz", 3);
    EXPECT_EQ(str(text_translate(text_wrap("abcA", 4), &from, &to)), "zycA");
    EXPECT_EQ(str(text_translate(text_wrap("bb", 2), nullptr, nullptr)), "yy");

    // A failed build leaves the identity, and the flag stays set.
    const Text short_to = text_wrap("xy", 2);
    EXPECT_TRUE(asserts_in_text([&] { text_translate(word, &from, &short_to); }));
    const Text bad = {-1, "x"};
    EXPECT_TRUE(asserts_in_text([&] { text_translate(word, &bad, &bad); }));
    EXPECT_TRUE(text_translate_map_set);
    EXPECT_EQ(str(text_translate(word, nullptr, nullptr)), str(word));
    for (int k = 0; k < 256; ++k)
        ASSERT_EQ(text_translate_map[k], k);
}

// Joining, slicing, repetition, reversal and translation against the model
// on random inputs, each round under its own mark. After every step every
// Text made so far, and one made before all the rounds, still holds what the
// model says: no path writes into an existing Text.
TEST_F(TextTest, BuildersRandomAgainstModel) {
    std::mt19937 rng(7);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto random_bytes = [&](int max_len, int lowest) {
        std::string r(static_cast<size_t>(pick(0, max_len)), 'a');
        for (char &c : r)
            c = static_cast<char>(pick(lowest, 255));
        return r;
    };
    const Text before_rounds = text_from_cstr("made before the rounds");
    std::deque<std::string> caller_memory; // owns the bytes of wrapped Texts
    constexpr size_t largest = 40000;
    for (int round = 0; round < 150; ++round) {
        TextMark *mark = text_mark();
        std::vector<std::pair<Text, std::string>> pool;
        auto any = [&]() -> std::pair<Text, std::string> & {
            return pool[static_cast<size_t>(pick(0, static_cast<int>(pool.size()) - 1))];
        };
        for (int step = 0; step < 60; ++step) {
            const int op = pool.empty() ? pick(0, 1) : pick(0, 7);
            const int max_len = pick(0, 9) == 0 ? 3000 : 8;
            switch (op) {
            case 0: // caller memory, NUL bytes included
                caller_memory.push_back(random_bytes(max_len, 0));
                pool.push_back({wrap(caller_memory.back()), caller_memory.back()});
                break;
            case 1: { // a copy in string space
                std::string bytes = random_bytes(max_len, 1);
                pool.push_back({text_from_cstr(bytes.c_str()), bytes});
                break;
            }
            case 2: { // repetition, in place when the operand is the latest
                auto [t, m] = pick(0, 1) ? pool.back() : any();
                int n = pick(0, 4);
                if (m.size() * static_cast<size_t>(n) <= largest)
                    pool.push_back({text_repeat(t, n), model::repeat(m, n)});
                break;
            }
            case 3: {
                auto [t, m] = any();
                pool.push_back({text_reversed(t), model::reversed(m)});
                break;
            }
            case 4:
            case 5: { // joining: the latest (in place), slices (adjacent), any two
                auto [t1, m1] = op == 4 ? pool.back() : any();
                auto [t2, m2] = any();
                if (pick(0, 2) == 0) {
                    int n = t1.len;
                    int cut = pick(1, n + 1);
                    t2 = text_slice(t1, cut, 0);
                    m2 = m1.substr(static_cast<size_t>(cut - 1));
                    t1 = text_slice(t1, 1, cut - n - 1);
                    m1 = m1.substr(0, static_cast<size_t>(cut - 1));
                }
                if (m1.size() + m2.size() <= largest)
                    pool.push_back({text_concat(t1, t2), m1 + m2});
                break;
            }
            case 6: { // a slice by random names
                auto [t, m] = any();
                int n = t.len;
                int i = pick(-n, n + 1);
                int j = pick(-n, n + 1);
                int64_t a = model::offset(n, i);
                int64_t b = model::offset(n, j);
                pool.push_back(
                    {text_slice(t, i, j), model::range(m, std::min(a, b), std::max(a, b))});
                break;
            }
            default: {
                std::string from = random_bytes(6, 0);
                std::string to = random_bytes(static_cast<int>(from.size()), 0);
                to.resize(from.size(), 'q');
                const Text f = wrap(from);
                const Text g = wrap(to);
                auto [t, m] = any();
                pool.push_back(
                    {text_translate(t, &f, &g), model::translate(m, model::build_map(from, to))});
                break;
            }
            }
            for (const auto &[text, bytes] : pool)
                ASSERT_EQ(str(text), bytes) << "round " << round << " step " << step;
        }
        text_release(&mark);
        ASSERT_EQ(str(before_rounds), "made before the rounds");
    }
}

// ---- Order of the argument checks
//
// Each operation tests its arguments in a fixed order and raises at the first
// that fails. A row lists the arguments in that order; its call makes
// argument k invalid when bit k of `bad` is set, and is never made with all
// of them valid. With argument k and every later one invalid, the raise must
// come from the same check (the same line) as with argument k invalid alone,
// and no two arguments may share a check.

// text_format called directly, with the given flag array.
void format_directly(unsigned char *flags, ...) {
    va_list args;
    va_start(args, flags);
    ExceptionCleanup end([&] { va_end(args); });
    std::string out;
    text_format('T', args, put_string, &out, flags, fmt_unspecified, fmt_unspecified);
}

TEST_F(TextTest, ArgumentsAreCheckedInTheirOrder) {
    const char abc[] = "abc";
    // A Text of 3 characters: valid, or invalid through a null pointer.
    auto three = [&](bool invalid) { return Text{3, invalid ? nullptr : abc}; };
    // Position 1 is always valid; 9 is outside a Text of 3.
    auto position = [](bool invalid) { return invalid ? 9 : 1; };
    struct Case {
        const char *operation;
        std::vector<const char *> arguments;
        std::function<void(unsigned bad)> call;
    };
    auto bit = [](unsigned bad, unsigned k) { return (bad >> k & 1) != 0; };
    const Case cases[] = {
        {"text_wrap",
         {"str", "len"},
         [&](unsigned bad) { text_wrap(bit(bad, 0) ? nullptr : abc, bit(bad, 1) ? -1 : 3); }},
        {"text_to_cstr",
         {"s", "size"},
         [&](unsigned bad) {
             char buf[4];
             text_to_cstr(buf, bit(bad, 1) ? 3 : 4, three(bit(bad, 0)));
         }},
        {"text_slice",
         {"s", "i", "j"},
         [&](unsigned bad) {
             text_slice(three(bit(bad, 0)), position(bit(bad, 1)), position(bit(bad, 2)));
         }},
        {"text_position",
         {"s", "i"},
         [&](unsigned bad) { text_position(three(bit(bad, 0)), position(bit(bad, 1))); }},
        {"text_concat",
         {"s1", "s2", "total length"},
         [&](unsigned bad) {
             // Lengths are tested before any character is read.
             const Text s1 = {bit(bad, 2) ? INT32_MAX : 3, bit(bad, 0) ? nullptr : abc};
             text_concat(s1, three(bit(bad, 1)));
         }},
        {"text_compare",
         {"s1", "s2"},
         [&](unsigned bad) { text_compare(three(bit(bad, 0)), three(bit(bad, 1))); }},
        {"text_release",
         {"mark", "*mark"},
         [&](unsigned bad) {
             // `bad` is never 0, so a mark that is given is the null one.
             TextMark *released = nullptr;
             text_release(bit(bad, 0) ? nullptr : &released);
         }},
        {"text_format",
         {"flags", "Text pointer", "Text"},
         [&](unsigned bad) {
             unsigned char flags[256] = {};
             const Text t = three(bit(bad, 2));
             format_directly(bit(bad, 0) ? nullptr : flags, bit(bad, 1) ? nullptr : &t);
         }},
        {"text_find_char",
         {"s", "i", "j"},
         [&](unsigned bad) {
             text_find_char(three(bit(bad, 0)), position(bit(bad, 1)), position(bit(bad, 2)), 'a');
         }},
        {"text_rfind_char",
         {"s", "i", "j"},
         [&](unsigned bad) {
             text_rfind_char(three(bit(bad, 0)), position(bit(bad, 1)), position(bit(bad, 2)), 'a');
         }},
        {"text_find_in_set",
         {"set", "s", "i", "j"},
         [&](unsigned bad) {
             text_find_in_set(three(bit(bad, 1)), position(bit(bad, 2)), position(bit(bad, 3)),
                              three(bit(bad, 0)));
         }},
        {"text_rfind_in_set",
         {"set", "s", "i", "j"},
         [&](unsigned bad) {
             text_rfind_in_set(three(bit(bad, 1)), position(bit(bad, 2)), position(bit(bad, 3)),
                               three(bit(bad, 0)));
         }},
        {"text_step_in_set",
         {"set", "s", "i"},
         [&](unsigned bad) {
             text_step_in_set(three(bit(bad, 1)), position(bit(bad, 2)), three(bit(bad, 0)));
         }},
        {"text_span_set",
         {"set", "s", "i", "j"},
         [&](unsigned bad) {
             text_span_set(three(bit(bad, 1)), position(bit(bad, 2)), position(bit(bad, 3)),
                           three(bit(bad, 0)));
         }},
        {"text_rspan_set",
         {"set", "s", "i", "j"},
         [&](unsigned bad) {
             text_rspan_set(three(bit(bad, 1)), position(bit(bad, 2)), position(bit(bad, 3)),
                            three(bit(bad, 0)));
         }},
        {"text_find_text",
         {"s", "pattern", "i", "j"},
         [&](unsigned bad) {
             text_find_text(three(bit(bad, 0)), position(bit(bad, 2)), position(bit(bad, 3)),
                            three(bit(bad, 1)));
         }},
        {"text_rfind_text",
         {"s", "pattern", "i", "j"},
         [&](unsigned bad) {
             text_rfind_text(three(bit(bad, 0)), position(bit(bad, 2)), position(bit(bad, 3)),
                             three(bit(bad, 1)));
         }},
        {"text_prefix_at",
         {"s", "pattern", "i", "j"},
         [&](unsigned bad) {
             text_prefix_at(three(bit(bad, 0)), position(bit(bad, 2)), position(bit(bad, 3)),
                            three(bit(bad, 1)));
         }},
        {"text_suffix_at",
         {"s", "pattern", "i", "j"},
         [&](unsigned bad) {
             text_suffix_at(three(bit(bad, 0)), position(bit(bad, 2)), position(bit(bad, 3)),
                            three(bit(bad, 1)));
         }},
        {"text_repeat",
         {"s", "n", "total length"},
         [&](unsigned bad) {
             // A negative n passes the length test, so those two checks can
             // never both fail: with both bits set only n is invalid.
             text_repeat(three(bit(bad, 0)), bit(bad, 1) ? -1 : bit(bad, 2) ? INT32_MAX : 2);
         }},
        {"text_translate",
         {"s", "from", "to", "equal lengths"},
         [&](unsigned bad) {
             const Text from = {1, bit(bad, 1) ? nullptr : abc};
             const Text to = {bit(bad, 3) ? 2 : 1, bit(bad, 2) ? nullptr : abc};
             text_translate(three(bit(bad, 0)), &from, &to);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.operation);
        const unsigned n = static_cast<unsigned>(c.arguments.size());
        std::set<int> lines;
        for (unsigned k = 0; k < n; ++k) {
            SCOPED_TRACE(c.arguments[k]);
            const ExceptionFrame alone = raised_by([&] { c.call(1u << k); });
            const ExceptionFrame with_later = raised_by([&] { c.call((1u << n) - (1u << k)); });
            EXPECT_EQ(alone.exception, &assertion_failed);
            EXPECT_STREQ(alone.file, "src/text.cpp");
            EXPECT_EQ(with_later.exception, &assertion_failed);
            EXPECT_EQ(with_later.line, alone.line);
            EXPECT_TRUE(lines.insert(alone.line).second) << "line " << alone.line << " repeats";
        }
    }
}

// ---- The uncaught report

const char *const text_check_report =
    "Uncaught exception Assertion failed raised at src/text\\.cpp:[1-9][0-9]*\naborting\\.\\.\\.\n";

TEST(TextDeathTest, UncaughtCheckNamesTheTextModule) {
    EXPECT_EXIT(text_position(text_none, 2), ::testing::KilledBySignal(SIGABRT),
                abort_report(::testing::MatchesRegex(text_check_report)));
}

// Translating with neither map Text before any map was built raises. The
// threadsafe style runs the statement in a freshly started copy of this
// program, where no map has been built whatever ran before.
TEST(TextDeathTest, TranslateBeforeAnyMapRaises) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(text_translate(text_wrap("a", 1), nullptr, nullptr),
                ::testing::KilledBySignal(SIGABRT),
                abort_report(::testing::MatchesRegex(text_check_report)));
}

} // namespace
} // namespace lexspot

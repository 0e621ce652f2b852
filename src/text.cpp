// SPDX-License-Identifier: MIT

// Texts and the string space.
//
// Chunk layout: one `mem_allocate` block per chunk, a `TextChunk` header
// followed at once by its space; `limit` is the end of the block. The chain
// runs from the static `text_head_chunk` (no space) to `text_current_chunk`,
// and only the current chunk has space in use beyond what live Texts cover
// before the last mark. Lengths and offsets are int32_t; anything that could
// pass INT32_MAX is computed in int64_t and checked before it is used.
#include "text.hpp"

#include <cstring>
#include <strings.h>

#include "assert.hpp"
#include "mem.hpp"

namespace lexspot {

#define TEXT_ROW(k)                                                                                \
    char(k), char(k + 1), char(k + 2), char(k + 3), char(k + 4), char(k + 5), char(k + 6),         \
        char(k + 7), char(k + 8), char(k + 9), char(k + 10), char(k + 11), char(k + 12),           \
        char(k + 13), char(k + 14), char(k + 15)

const char text_char_table[256] = {
    TEXT_ROW(0),   TEXT_ROW(16),  TEXT_ROW(32),  TEXT_ROW(48),  TEXT_ROW(64),  TEXT_ROW(80),
    TEXT_ROW(96),  TEXT_ROW(112), TEXT_ROW(128), TEXT_ROW(144), TEXT_ROW(160), TEXT_ROW(176),
    TEXT_ROW(192), TEXT_ROW(208), TEXT_ROW(224), TEXT_ROW(240),
};

#undef TEXT_ROW

const Text text_all_chars = {256, text_char_table};
const Text text_ascii_chars = {127, text_char_table};
const Text text_upper_letters = {26, text_char_table + 65};
const Text text_lower_letters = {26, text_char_table + 97};
const Text text_decimal_digits = {10, text_char_table + 48};
const Text text_none = {0, text_char_table};

TextChunk text_head_chunk = {nullptr, nullptr, nullptr};
TextChunk *text_current_chunk = &text_head_chunk;

unsigned char text_translate_map[256];
bool text_translate_map_set = false;

namespace {

// Space every new chunk carries beyond the request that made it.
constexpr int64_t chunk_extra = 10240;

bool is_valid(Text s) {
    return s.len >= 0 && s.str != nullptr;
}

bool is_position(Text s, int p) {
    return p > 0 ? p - 1 <= s.len : p + s.len >= 0;
}

// The offset of a position already checked with `is_position`.
int32_t offset_of(Text s, int p) {
    return p > 0 ? p - 1 : p + s.len;
}

// A range's offsets, lo <= hi.
struct Range {
    int32_t lo;
    int32_t hi;
};

// Checks i, then j, against s (already known valid).
Range range_of(Text s, int i, int j) {
    assert_require(is_position(s, i));
    assert_require(is_position(s, j));
    int32_t a = offset_of(s, i);
    int32_t b = offset_of(s, j);
    return a <= b ? Range{a, b} : Range{b, a};
}

bool is_member(Text set, char c) {
    return std::memchr(set.str, static_cast<unsigned char>(c), static_cast<size_t>(set.len)) !=
           nullptr;
}

// Free bytes of the current chunk (0 for the head chunk, whose fields are null).
int64_t current_room() {
    return text_current_chunk->limit - text_current_chunk->avail;
}

// True when s ends exactly at the allocation point.
bool ends_at_avail(Text s) {
    return text_current_chunk->avail != nullptr && s.str + s.len == text_current_chunk->avail;
}

// Takes n bytes of string space and returns the first; n = 0 takes nothing
// and returns the allocation point (null while no chunk exists). The chunk is
// allocated before anything is linked, so a failure changes nothing.
char *text_space_take(int32_t n) {
    assert_require(n >= 0);
    if (n > current_room()) {
        auto *chunk = static_cast<TextChunk *>(
            mem_allocate(static_cast<int64_t>(sizeof(TextChunk)) + chunk_extra + n));
        chunk->next = nullptr;
        chunk->avail = reinterpret_cast<char *>(chunk + 1);
        chunk->limit = chunk->avail + chunk_extra + n;
        text_current_chunk->next = chunk;
        text_current_chunk = chunk;
    }
    char *start = text_current_chunk->avail;
    text_current_chunk->avail += n;
    return start;
}

Text empty_result() {
    return {0, text_none.str};
}

} // namespace

// ---- Building and copying out

Text text_wrap(const char *str, int len) {
    assert_require(str != nullptr);
    assert_require(len >= 0);
    return {len, str};
}

Text text_from_cstr(const char *cstr) {
    assert_require(cstr != nullptr);
    size_t len = std::strlen(cstr);
    assert_require(len <= INT32_MAX);
    if (len == 0) {
        // With no chunk yet the allocation point is null; any non-null
        // pointer serves an empty Text.
        char *at = text_space_take(0);
        return {0, at != nullptr ? at : text_none.str};
    }
    char *str = text_space_take(static_cast<int32_t>(len));
    std::memcpy(str, cstr, len);
    return {static_cast<int32_t>(len), str};
}

char *text_to_cstr(char *buf, int size, Text s) {
    assert_require(is_valid(s));
    if (buf == nullptr)
        buf = static_cast<char *>(mem_allocate(static_cast<int64_t>(s.len) + 1));
    else
        assert_require(size > s.len);
    std::memcpy(buf, s.str, static_cast<size_t>(s.len));
    buf[s.len] = '\0';
    return buf;
}

// ---- Positions and slices

Text text_slice(Text s, int i, int j) {
    assert_require(is_valid(s));
    Range r = range_of(s, i, j);
    return {r.hi - r.lo, s.str + r.lo};
}

int text_position(Text s, int i) {
    assert_require(is_valid(s));
    assert_require(is_position(s, i));
    return offset_of(s, i) + 1;
}

// ---- Joining and comparing

Text text_concat(Text s1, Text s2) {
    assert_require(is_valid(s1));
    assert_require(is_valid(s2));
    assert_require(s2.len <= INT32_MAX - s1.len);
    if (s1.len == 0)
        return s2;
    if (s2.len == 0)
        return s1;
    int32_t len = s1.len + s2.len;
    if (s1.str + s1.len == s2.str)
        return {len, s1.str};
    if (ends_at_avail(s1) && s2.len <= current_room()) {
        std::memcpy(text_space_take(s2.len), s2.str, static_cast<size_t>(s2.len));
        return {len, s1.str};
    }
    char *str = text_space_take(len);
    std::memcpy(str, s1.str, static_cast<size_t>(s1.len));
    std::memcpy(str + s1.len, s2.str, static_cast<size_t>(s2.len));
    return {len, str};
}

int text_compare(Text s1, Text s2) {
    assert_require(is_valid(s1));
    assert_require(is_valid(s2));
    if (s1.str == s2.str)
        return s1.len - s2.len;
    int32_t m = s1.len < s2.len ? s1.len : s2.len;
    int r = std::memcmp(s1.str, s2.str, static_cast<size_t>(m));
    if (r != 0)
        return r;
    return s1.len < s2.len ? -1 : s1.len > s2.len ? 1 : 0;
}

// ---- Marks

TextMark *text_mark() {
    auto *mark = static_cast<TextMark *>(mem_allocate(sizeof(TextMark)));
    mark->chunk = text_current_chunk;
    mark->avail = text_current_chunk->avail;
    // The reserved byte may need a new chunk; if that fails the record must
    // not be lost.
    EXCEPTION_TRY {
        text_space_take(1);
    }
    EXCEPTION_HANDLER(frame) {
        mem_release(mark);
        exception_reraise(frame);
    }
    EXCEPTION_END
    return mark;
}

void text_release(TextMark **mark) {
    assert_require(mark != nullptr);
    assert_require(*mark != nullptr);
    text_current_chunk = (*mark)->chunk;
    text_current_chunk->avail = (*mark)->avail;
    mem_release(*mark);
    *mark = nullptr;
    TextChunk *chunk = text_current_chunk->next;
    while (chunk != nullptr) {
        TextChunk *next = chunk->next;
        mem_release(chunk);
        chunk = next;
    }
    text_current_chunk->next = nullptr;
}

// ---- Printing

// The argument list is a reference and cannot be null; the other pointers are
// tested before the routine emits anything.
void text_format(int, va_list &args, PutFn put, void *closure, unsigned char flags[256], int width,
                 int precision) {
    assert_require(flags != nullptr);
    const Text *s = va_arg(args, const Text *);
    assert_require(s != nullptr);
    assert_require(is_valid(*s));
    fmt_pad_string(s->str, s->len, put, closure, flags, width, precision);
}

// ---- Scanning

int text_find_char(Text s, int i, int j, int c) {
    assert_require(is_valid(s));
    Range r = range_of(s, i, j);
    for (int32_t k = r.lo; k < r.hi; ++k)
        if (static_cast<signed char>(s.str[k]) == c)
            return k + 1;
    return 0;
}

int text_rfind_char(Text s, int i, int j, int c) {
    assert_require(is_valid(s));
    Range r = range_of(s, i, j);
    for (int32_t k = r.hi - 1; k >= r.lo; --k)
        if (static_cast<signed char>(s.str[k]) == c)
            return k + 1;
    return 0;
}

int text_find_in_set(Text s, int i, int j, Text set) {
    assert_require(is_valid(set));
    assert_require(is_valid(s));
    Range r = range_of(s, i, j);
    for (int32_t k = r.lo; k < r.hi; ++k)
        if (is_member(set, s.str[k]))
            return k + 1;
    return 0;
}

int text_rfind_in_set(Text s, int i, int j, Text set) {
    assert_require(is_valid(set));
    assert_require(is_valid(s));
    Range r = range_of(s, i, j);
    for (int32_t k = r.hi - 1; k >= r.lo; --k)
        if (is_member(set, s.str[k]))
            return k + 1;
    return 0;
}

int text_step_in_set(Text s, int i, Text set) {
    assert_require(is_valid(set));
    assert_require(is_valid(s));
    assert_require(is_position(s, i));
    int32_t k = offset_of(s, i);
    if (k == s.len || !is_member(set, s.str[k]))
        return 0;
    return k + 2;
}

int text_span_set(Text s, int i, int j, Text set) {
    assert_require(is_valid(set));
    assert_require(is_valid(s));
    Range r = range_of(s, i, j);
    if (r.lo == r.hi || !is_member(set, s.str[r.lo]))
        return 0;
    int32_t k = r.lo + 1;
    while (k < r.hi && is_member(set, s.str[k]))
        ++k;
    return k + 1;
}

int text_rspan_set(Text s, int i, int j, Text set) {
    assert_require(is_valid(set));
    assert_require(is_valid(s));
    Range r = range_of(s, i, j);
    if (r.lo == r.hi || !is_member(set, s.str[r.hi - 1]))
        return 0;
    int32_t k = r.hi - 2;
    while (k >= r.lo && is_member(set, s.str[k]))
        --k;
    return k + 2;
}

// The pattern searches try candidate starts in scan order; a one-byte pattern
// is compared directly, a longer one with bcmp. An empty pattern matches at
// the first start tried.

int text_find_text(Text s, int i, int j, Text pattern) {
    assert_require(is_valid(s));
    assert_require(is_valid(pattern));
    Range r = range_of(s, i, j);
    int32_t m = pattern.len;
    if (m > r.hi - r.lo)
        return 0;
    if (m == 0)
        return r.lo + 1;
    if (m == 1) {
        for (int32_t k = r.lo; k < r.hi; ++k)
            if (s.str[k] == pattern.str[0])
                return k + 1;
        return 0;
    }
    for (int32_t k = r.lo; k <= r.hi - m; ++k)
        if (bcmp(s.str + k, pattern.str, static_cast<size_t>(m)) == 0)
            return k + 1;
    return 0;
}

int text_rfind_text(Text s, int i, int j, Text pattern) {
    assert_require(is_valid(s));
    assert_require(is_valid(pattern));
    Range r = range_of(s, i, j);
    int32_t m = pattern.len;
    if (m > r.hi - r.lo)
        return 0;
    if (m == 0)
        return r.hi + 1;
    if (m == 1) {
        for (int32_t k = r.hi - 1; k >= r.lo; --k)
            if (s.str[k] == pattern.str[0])
                return k + 1;
        return 0;
    }
    for (int32_t k = r.hi - m; k >= r.lo; --k)
        if (bcmp(s.str + k, pattern.str, static_cast<size_t>(m)) == 0)
            return k + 1;
    return 0;
}

int text_prefix_at(Text s, int i, int j, Text pattern) {
    assert_require(is_valid(s));
    assert_require(is_valid(pattern));
    Range r = range_of(s, i, j);
    int32_t m = pattern.len;
    if (m > r.hi - r.lo || bcmp(s.str + r.lo, pattern.str, static_cast<size_t>(m)) != 0)
        return 0;
    return r.lo + m + 1;
}

int text_suffix_at(Text s, int i, int j, Text pattern) {
    assert_require(is_valid(s));
    assert_require(is_valid(pattern));
    Range r = range_of(s, i, j);
    int32_t m = pattern.len;
    if (m > r.hi - r.lo || bcmp(s.str + r.hi - m, pattern.str, static_cast<size_t>(m)) != 0)
        return 0;
    return r.hi - m + 1;
}

// ---- Repetition, reversal and translation

Text text_repeat(Text s, int n) {
    assert_require(is_valid(s));
    assert_require(n >= 0);
    assert_require(s.len == 0 || n <= INT32_MAX / s.len);
    if (n == 0 || s.len == 0)
        return empty_result();
    if (n == 1)
        return s;
    int32_t total = n * s.len;
    size_t len = static_cast<size_t>(s.len);
    if (ends_at_avail(s) && total - s.len <= current_room()) {
        char *to = text_space_take(total - s.len);
        for (int copy = 1; copy < n; ++copy, to += len)
            std::memcpy(to, s.str, len);
        return {total, s.str};
    }
    char *str = text_space_take(total);
    for (int copy = 0; copy < n; ++copy)
        std::memcpy(str + static_cast<size_t>(copy) * len, s.str, len);
    return {total, str};
}

Text text_reversed(Text s) {
    assert_require(is_valid(s));
    if (s.len == 0)
        return empty_result();
    if (s.len == 1)
        return s;
    char *str = text_space_take(s.len);
    for (int32_t k = 0; k < s.len; ++k)
        str[k] = s.str[s.len - 1 - k];
    return {s.len, str};
}

Text text_translate(Text s, const Text *from, const Text *to) {
    assert_require(is_valid(s));
    if (from != nullptr && to != nullptr) {
        // Every build starts from the identity, so a build that fails below
        // leaves the identity in force.
        for (int k = 0; k < 256; ++k)
            text_translate_map[k] = static_cast<unsigned char>(k);
        assert_require(is_valid(*from));
        assert_require(is_valid(*to));
        assert_require(from->len == to->len);
        for (int32_t k = 0; k < from->len; ++k)
            text_translate_map[static_cast<unsigned char>(from->str[k])] =
                static_cast<unsigned char>(to->str[k]);
        text_translate_map_set = true;
    } else {
        assert_require(from == nullptr && to == nullptr);
        assert_require(text_translate_map_set);
    }
    if (s.len == 0)
        return empty_result();
    char *str = text_space_take(s.len);
    for (int32_t k = 0; k < s.len; ++k)
        str[k] = static_cast<char>(text_translate_map[static_cast<unsigned char>(s.str[k])]);
    return {s.len, str};
}

} // namespace lexspot

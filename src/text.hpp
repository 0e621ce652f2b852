// SPDX-License-Identifier: MIT

// Texts: immutable strings as descriptors over a chunked string space.
//
// A `Text` is a length and a pointer, passed and returned by value. Its
// characters are arbitrary bytes (NUL included), carry no terminator, and are
// never written after the Text is made. A Text owns nothing: its characters
// belong to the string space, to the caller (`text_wrap`) or to
// `text_char_table` (the constants), and several Texts may share them.
//
// Invariants and shared rules:
// - A Text is valid when len >= 0 and str is not null (also when len is 0).
//   Every operation raises `assertion_failed` at src/text for an invalid Text
//   argument, and tests its arguments before it changes anything.
// - Positions name the n + 1 gaps of a Text of length n, each in two ways:
//   1 .. n + 1 counting from the left, or -n .. 0 counting from the right.
//   So 1 and -n both name the start, n + 1 and 0 both name the end. Any
//   other position raises `assertion_failed`. The character at index k lies
//   between positions k + 1 and k + 2.
// - A range is two positions in either order; it holds the characters
//   between the two gaps they name. Positions returned are always in the
//   positive form, so a search returns 0 when it finds nothing.
// - No result is longer than INT32_MAX characters: an operation whose result
//   would be raises `assertion_failed` instead.
//
// The string space is a process-wide chain of chunks, each a header followed
// by its space; characters are taken by advancing the current chunk's `avail`
// and are reclaimed only in bulk, by releasing to a `TextMark`. A request
// that does not fit starts a new chunk with 10240 bytes beyond the request.
// Characters taken after a mark are invalid once it is released; Texts made
// before it, caller memory and the constants are untouched.
//
// Process-wide state, not locked (the process is single-threaded): the chain
// and its current chunk, and the translation map with its flag.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "export.hpp"
#include "fmt.hpp"

namespace lexspot {

// ---- Types

struct Text {
    int32_t len;     // number of characters, >= 0
    const char *str; // first character, read-only; never null
};

// A saved string-space position; made by `text_mark`, freed by
// `text_release`. Its record is shown with the string space's at the end.
struct TextMark;

// ---- Constants

// The 256 byte values in order: byte k at index k.
extern LEXSPOT_API const char text_char_table[256];

// Constant Texts over `text_char_table`, sharing its characters.
extern LEXSPOT_API const Text text_all_chars;      // bytes 0..255
extern LEXSPOT_API const Text text_ascii_chars;    // bytes 0..126 (127 is not included)
extern LEXSPOT_API const Text text_upper_letters;  // A..Z
extern LEXSPOT_API const Text text_lower_letters;  // a..z
extern LEXSPOT_API const Text text_decimal_digits; // 0..9
extern LEXSPOT_API const Text text_none;           // empty, at the start of the table

// ---- Building and copying out

// A Text over len caller characters at str, nothing copied; the caller keeps
// them alive and unchanged while the Text is used. Requires str not null,
// then len >= 0.
LEXSPOT_API Text text_wrap(const char *str, int len);

// A copy of the NUL-terminated `cstr` (without the NUL) in string space. An
// empty string takes no space. Requires cstr not null, then its length at
// most INT32_MAX.
LEXSPOT_API Text text_from_cstr(const char *cstr);

// Copies s's characters into buf and NUL-terminates them; returns buf. With a
// null buf, copies into a new block of s.len + 1 bytes (size is ignored),
// which the caller frees with `mem_release`. Requires s valid, then, with a
// buf, size > s.len.
LEXSPOT_API char *text_to_cstr(char *buf, int size, Text s);

// ---- Positions and slices

// The characters of s between positions i and j, in either order, sharing
// s's characters. Requires s valid, then i valid, then j valid.
LEXSPOT_API Text text_slice(Text s, int i, int j);

// The positive form of position i of s. Requires s valid, then i valid.
LEXSPOT_API int text_position(Text s, int i);

// ---- Joining and comparing

// s1 followed by s2. Returns an empty operand's partner itself, covers both
// without copying when s2 starts where s1 ends, and extends s1 in place when
// s1 ends at the allocation point and s2 fits in the current chunk; otherwise
// copies both into new space. Requires s1 valid, then s2 valid, then
// s1.len + s2.len <= INT32_MAX.
LEXSPOT_API Text text_concat(Text s1, Text s2);

// Negative, zero or positive as s1 sorts before, equal to or after s2, by
// unsigned bytes, a proper prefix first. Only the sign is meaningful. Texts
// with the same `str` compare by length alone. Requires s1 valid, then s2.
LEXSPOT_API int text_compare(Text s1, Text s2);

// ---- Marks

// Saves the current string-space position and reserves one byte after it, so
// that no Text made before the mark is ever joined in place with space taken
// after it. Marks nest.
LEXSPOT_API TextMark *text_mark();

// Returns the string space to where `*mark` was taken, frees every chunk
// begun since, frees the mark and sets *mark to null. Marks taken after this
// one are reclaimed with it and must not be released afterwards. Requires
// mark not null, then *mark not null.
LEXSPOT_API void text_release(TextMark **mark);

// ---- Printing

// A conversion routine for the formatter that prints one Text; the client
// installs it under a character of its choice. Takes one argument, a
// `const Text *`, and prints its characters through `fmt_pad_string`, so the
// precision limits how many are printed and the width pads with spaces.
// Requires flags not null, then the Text pointer not null and its Text valid.
LEXSPOT_API void text_format(int code, va_list &args, PutFn put, void *closure,
                             unsigned char flags[256], int width, int precision);

// ---- Scanning
//
// Each returns a position of s in positive form, or 0 when the search fails.
// They test s and the target (set first for the set operations, pattern last
// for the pattern operations), then i, then j. None allocates.
//
// A character c matches a byte read as a signed 8-bit value, so byte 233
// matches c = -23 and no c outside -128..127 matches anything. A set's
// members are its characters' byte values; an empty set has none. Pattern
// occurrences may overlap and lie wholly inside the range.

// The position before the leftmost (rightmost) character equal to c.
LEXSPOT_API int text_find_char(Text s, int i, int j, int c);
LEXSPOT_API int text_rfind_char(Text s, int i, int j, int c);

// The position before the leftmost (rightmost) member of set.
LEXSPOT_API int text_find_in_set(Text s, int i, int j, Text set);
LEXSPOT_API int text_rfind_in_set(Text s, int i, int j, Text set);

// The position after the character just after position i, when that
// character is a member of set; 0 at the end of s.
LEXSPOT_API int text_step_in_set(Text s, int i, Text set);

// The position after (before) the longest run of members that starts (ends)
// the range; 0 when the run is empty.
LEXSPOT_API int text_span_set(Text s, int i, int j, Text set);
LEXSPOT_API int text_rspan_set(Text s, int i, int j, Text set);

// The position before the leftmost (rightmost) occurrence of pattern. An
// empty pattern occurs at the start (end) of the range.
LEXSPOT_API int text_find_text(Text s, int i, int j, Text pattern);
LEXSPOT_API int text_rfind_text(Text s, int i, int j, Text pattern);

// The position after pattern when the range starts with it; the position
// before pattern when the range ends with it. An empty pattern always
// matches.
LEXSPOT_API int text_prefix_at(Text s, int i, int j, Text pattern);
LEXSPOT_API int text_suffix_at(Text s, int i, int j, Text pattern);

// ---- Repetition, reversal and translation
//
// Empty results are {0, text_none.str}.

// n copies of s, one after the other. n = 1 returns s itself; when s ends at
// the allocation point and the chunk has room, s is extended in place.
// Requires s valid, then n >= 0, then n * s.len <= INT32_MAX.
LEXSPOT_API Text text_repeat(Text s, int n);

// s's characters last to first, in new space; a Text of one character is
// returned itself. Requires s valid.
LEXSPOT_API Text text_reversed(Text s);

// s with each byte replaced through `text_translate_map`, in new space.
// When from and to are both given, a new map is built first: the identity,
// then from's character k mapped to to's character k for k in order (the
// last pairing of a repeated character wins). When both are null, the map
// built last is used. Requires s valid; then either both of from and to or
// neither; with both, from and to valid and of equal length; with neither, a
// map built before. A build that fails on from and to leaves the identity.
LEXSPOT_API Text text_translate(Text s, const Text *from, const Text *to);

// ---- Representation
//
// The string space's records and the process-wide state of the operations
// above. They are part of the library's interface, so that tests and tools
// can inspect them; clients change them only through the operations.

// One chunk of the string space: this header, then the chunk's space.
// Bytes from the start of the space up to `avail` are in use.
struct TextChunk {
    TextChunk *next; // following chunk, or null
    char *avail;     // first free byte of the space
    char *limit;     // one past the last byte of the space
};

struct TextMark {
    TextChunk *chunk; // the chunk current when the mark was taken
    char *avail;      // its `avail` at that moment
};

// The first chunk of the chain: no space, all fields null, never freed.
extern LEXSPOT_API TextChunk text_head_chunk;
// The chunk space is taken from; always the last of the chain.
extern LEXSPOT_API TextChunk *text_current_chunk;

// The map of the last `text_translate` that was given one: entry k is what
// byte k becomes. The flag is set when the first map is built, and stays set.
extern LEXSPOT_API unsigned char text_translate_map[256];
extern LEXSPOT_API bool text_translate_map_set;

} // namespace lexspot

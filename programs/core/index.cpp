// SPDX-License-Identifier: MIT

// Building and draining the index. The reading path (`index_stream`,
// `next_identifier`, `record` and the two table functions) runs for every
// piece and every identifier read; it stays in this one file so that the
// compiler sees all of it at once.
#include "index.hpp"

#include <cerrno>
#include <cstdlib>

#include <lexspot/array.hpp>
#include <lexspot/assert.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>

#include "report.hpp"

namespace lexspot {

namespace {

// The characters that can end an identifier (letters and "_"), and those an
// identifier may contain (letters, "_" and digits). Built by `index_start`;
// their characters live in string space.
Text id_first;
Text id_rest;

// Cuts the rightmost identifier off `*line` and leaves in `*line` what lies
// before it; returns `text_none` and leaves `*line` unchanged when no
// identifier is left.
Text next_identifier(Text *line, Text first, Text rest) {
    assert_require(line != nullptr);
    int32_t last = text_rfind_in_set(*line, 1, 0, first);
    if (last == 0)
        return text_none;
    int32_t start = text_rspan_set(*line, 1, last + 1, rest);
    Text identifier = text_slice(*line, start, last + 1);
    *line = text_slice(*line, 1, start);
    return identifier;
}

// A heap key over the characters of a text; the characters are not copied.
Text *new_text_key(int32_t len, const char *str) {
    Text *key = static_cast<Text *>(mem_allocate(sizeof(Text)));
    key->len = len;
    key->str = str;
    return key;
}

// Key compare of both tables: keys are pointers to `Text`. A table only asks
// whether two keys are equal, so keys of different lengths are told apart
// without reading their characters; that spares a `memcmp` for most of the
// keys a lookup passes in a long chain. Keys of equal length go to
// `text_compare`.
int32_t compare_texts(const void *x, const void *y) {
    const Text *s1 = static_cast<const Text *>(x);
    const Text *s2 = static_cast<const Text *>(y);
    if (s1->len != s2->len)
        return s1->len - s2->len;
    return text_compare(*s1, *s2);
}

// The name of the stream being read and its hash. The name is looked up once
// for every identifier found; hashing it afresh each time would cost as much
// as hashing the identifier itself. Texts with the same characters in string
// space have the same contents, since string space is never rewritten while
// the index exists.
Text current_name;
uint32_t current_name_hash;

uint32_t hash_characters(Text text) {
    uint32_t h = 0;
    for (int32_t i = 0; i < text.len; i++)
        h = 2 * h +
            static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(text.str[i])));
    return h;
}

uint32_t hash_text(const void *key) {
    const Text *text = static_cast<const Text *>(key);
    if (text->str == current_name.str && text->len == current_name.len)
        return current_name_hash;
    return hash_characters(*text);
}

// `qsort` comparator over a pair array (key, value, ...): orders the pairs
// by their keys.
int compare_pairs(const void *x, const void *y) {
    const Text *key_x = *static_cast<const Text *const *>(x);
    const Text *key_y = *static_cast<const Text *const *>(y);
    return text_compare(*key_x, *key_y);
}

// Sorts the pairs of a table's pair array by key.
void sort_pairs(void **pairs, int32_t count) {
    std::qsort(pairs, static_cast<size_t>(count), 2 * sizeof(void *), compare_pairs);
}

// Visits the files of one identifier and their line numbers, then frees the
// file table and everything it holds.
void visit_files(Table files, IndexVisitor visitor) {
    void **pairs = table_to_pairs(files, nullptr);
    sort_pairs(pairs, table_count(files));
    for (int32_t i = 0; pairs[i] != nullptr; i += 2) {
        Text *name = static_cast<Text *>(pairs[i]);
        Array lines = static_cast<Array>(pairs[i + 1]);
        // The numbers lie contiguously in the array's storage.
        visitor.file(visitor.closure, name, static_cast<const unsigned char *>(array_at(lines, 0)),
                     array_count(lines));
        mem_release(name);
        array_destroy(&lines);
    }
    mem_release(pairs);
    table_destroy(&files);
}

// Records that `identifier` occurs in `file` at `line_number`, unless it was
// recorded there for this very line already.
void record(Table identifiers, Text identifier, Text file, unsigned char *line_number) {
    Table files = static_cast<Table>(table_lookup(identifiers, &identifier));
    if (files == nullptr) {
        files = table_create(0, compare_texts, hash_text);
        table_store(identifiers, new_text_key(identifier.len, identifier.str), files);
    }
    Array lines = static_cast<Array>(table_lookup(files, &file));
    if (lines == nullptr) {
        lines = array_create(1, index_number_size);
        table_store(files, new_text_key(file.len, file.str), lines);
        array_store(lines, 0, line_number);
        return;
    }
    int32_t count = array_count(lines);
    if (mp_compare_s(static_cast<unsigned char *>(array_at(lines, count - 1)), line_number) == 0)
        return;
    array_set_count(lines, count + 1);
    array_store(lines, count, line_number);
}

} // namespace

void index_start(Index *index) {
    index->identifiers = table_create(10000, compare_texts, hash_text);
    index->mark = text_mark();
    report_setup();
    id_first = text_concat(text_concat(text_upper_letters, text_lower_letters), text_wrap("_", 1));
    id_rest = text_concat(id_first, text_decimal_digits);
}

void index_path(Index *index, const char *path, IndexDiagnostics diagnostics) {
    assert_require(path != nullptr);
    FILE *stream = std::fopen(path, "r");
    if (stream == nullptr) {
        diagnostics.report(diagnostics.closure, "can't open", path, errno);
        return;
    }
    index_stream(index, path, stream, diagnostics);
    std::fclose(stream);
}

void index_stream(Index *index, const char *name, FILE *stream, IndexDiagnostics diagnostics) {
    Table identifiers = index->identifiers;
    Text file = name != nullptr ? text_from_cstr(name) : text_none;
    current_name = file;
    current_name_hash = hash_characters(file);
    unsigned char line_number[index_number_size];
    mp_from_signed(line_number, 1);
    char piece[512];
    while (std::fgets(piece, sizeof piece, stream) != nullptr) {
        Text line = text_from_cstr(piece);
        for (Text id = next_identifier(&line, id_first, id_rest); id.len > 0;
             id = next_identifier(&line, id_first, id_rest))
            record(identifiers, id, file, line_number);
        mp_add_si(line_number, line_number, 1);
    }
    if (std::ferror(stream))
        diagnostics.report(diagnostics.closure, "can't read", name, errno);
}

void index_drain(Index *index, IndexVisitor visitor) {
    void **pairs = table_to_pairs(index->identifiers, nullptr);
    sort_pairs(pairs, table_count(index->identifiers));
    for (int32_t i = 0; pairs[i] != nullptr; i += 2) {
        Table files = static_cast<Table>(pairs[i + 1]);
        visitor.identifier(visitor.closure, static_cast<const Text *>(pairs[i]),
                           table_count(files));
        visit_files(files, visitor);
        mem_release(pairs[i]);
    }
    mem_release(pairs);
    table_destroy(&index->identifiers);
    text_release(&index->mark);
}

} // namespace lexspot

// SPDX-License-Identifier: MIT

// lexspot: an identifier cross-referencer.
//
//     lexspot [file ...]
//
// Reads the named files, or standard input when none is named, and prints
// for each distinct identifier, in sorted order, the files it occurs in
// (sorted by name) and the numbers of the lines where it occurs. Every
// argument is a path; there are no options.
//
// Data layout. The identifier table maps a heap key (a `Text` record made by
// `new_text_key`) to the identifier's file table; a file table maps a
// file-name key to an `Array` of 3-byte line numbers, 24-bit `MpValue`s in
// the order recorded. Keys point into string space: every piece read, and so
// every identifier and file name, is copied there once and reclaimed only at
// the end by releasing the mark taken at start-up. Invariant: a line-number
// array is never empty and never holds the same number twice in a row.
//
// Line numbers count the pieces `fgets` reads into a 512-byte buffer, so a
// line longer than 510 characters takes several numbers, and an identifier
// crossing a piece boundary is recorded as two. The 24-bit counter is
// advanced after every piece and raises `mp_overflow` when advanced past
// 8,388,607, so a stream may have at most 8,388,606 pieces; no handler is
// established, so that, like every other raise, ends the run with the
// uncaught-exception report.
//
// Diagnostics go to standard error, one line each: a file that cannot be
// opened or read is named and skipped (what was read before a read error is
// kept), and the run goes on with exit status 0. A report that cannot be
// written to standard output ends the run with exit status 1.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <lexspot/array.hpp>
#include <lexspot/assert.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>
#include <lexspot/table.hpp>
#include <lexspot/text.hpp>

using namespace lexspot;

namespace {

// The characters that can end an identifier (letters and "_"), and those an
// identifier may contain (letters, "_" and digits). Built at start-up; their
// characters live in string space.
Text id_first;
Text id_rest;

const char *program_name;

// Bytes of a 24-bit line number.
constexpr int32_t line_number_size = 3;

// Cuts the rightmost identifier off `*line` and leaves in `*line` what lies
// before it; returns `text_none` and leaves `*line` unchanged when no
// identifier is left. An identifier is the longest run of `rest` characters
// that ends with a `first` character, so it may begin with a digit and never
// ends with one.
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
// space have the same contents, since string space is never rewritten during
// the run.
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

// Prints the files of one identifier and their line numbers, then frees the
// file table and everything it holds.
void print_files(Table files) {
    void **pairs = table_to_pairs(files, nullptr);
    sort_pairs(pairs, table_count(files));
    for (int32_t i = 0; pairs[i] != nullptr; i += 2) {
        Text *name = static_cast<Text *>(pairs[i]);
        Array lines = static_cast<Array>(pairs[i + 1]);
        if (name->len > 0)
            fmt_stdout("\t%T:", name);
        int32_t count = array_count(lines);
        for (int32_t k = 0; k < count; k++)
            fmt_stdout(" %D", array_at(lines, k), 10);
        fmt_stdout("\n");
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
        lines = array_create(1, line_number_size);
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

// Indexes every identifier of `stream` under `name`, or under the empty name
// for standard input (a null `name`). A read error is reported and ends the
// stream; what was read before it stays indexed.
void index_stream(const char *name, FILE *stream, Table identifiers) {
    Text file = name != nullptr ? text_from_cstr(name) : text_none;
    current_name = file;
    current_name_hash = hash_characters(file);
    unsigned char line_number[line_number_size];
    mp_from_signed(line_number, 1);
    char piece[512];
    while (std::fgets(piece, sizeof piece, stream) != nullptr) {
        Text line = text_from_cstr(piece);
        for (Text id = next_identifier(&line, id_first, id_rest); id.len > 0;
             id = next_identifier(&line, id_first, id_rest))
            record(identifiers, id, file, line_number);
        mp_add_si(line_number, line_number, 1);
    }
    if (std::ferror(stream)) {
        const char *reason = std::strerror(errno);
        if (name != nullptr)
            std::fprintf(stderr, "%s: can't read '%s' (%s)\n", program_name, name, reason);
        else
            std::fprintf(stderr, "%s: can't read standard input (%s)\n", program_name, reason);
    }
}

} // namespace

int main(int argc, char *argv[]) {
    program_name = argv[0];

    // Start-up.
    Table identifiers = table_create(10000, compare_texts, hash_text);
    TextMark *mark = text_mark();
    fmt_install('T', text_format);
    fmt_install('D', mp_format_s);
    mp_set_width(24);
    id_first = text_concat(text_concat(text_upper_letters, text_lower_letters), text_wrap("_", 1));
    id_rest = text_concat(id_first, text_decimal_digits);

    // Reading: the named files in command-line order, else standard input.
    for (int i = 1; i < argc; i++) {
        FILE *stream = std::fopen(argv[i], "r");
        if (stream == nullptr) {
            std::fprintf(stderr, "%s: can't open '%s' (%s)\n", program_name, argv[i],
                         std::strerror(errno));
            continue;
        }
        index_stream(argv[i], stream, identifiers);
        std::fclose(stream);
    }
    if (argc == 1)
        index_stream(nullptr, stdin, identifiers);

    // The report, freeing each identifier's records as they are printed.
    void **pairs = table_to_pairs(identifiers, nullptr);
    sort_pairs(pairs, table_count(identifiers));
    for (int32_t i = 0; pairs[i] != nullptr; i += 2) {
        // %T reads a pointer to Text from the argument list.
        fmt_stdout("%T", static_cast<const Text *>(pairs[i]));
        print_files(static_cast<Table>(pairs[i + 1]));
        mem_release(pairs[i]);
    }
    mem_release(pairs);
    table_destroy(&identifiers);
    text_release(&mark);

    // A report that did not reach its destination is a failure, not a
    // silent success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: can't write the report (%s)\n", program_name,
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

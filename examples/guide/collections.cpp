// SPDX-License-Identifier: MIT
// A table from words to the lines they occur on: keys are texts compared
// and hashed by their characters, values are arrays of line numbers. The
// table and the arrays hold pointers and bytes; the program owns what the
// pointers point to and frees it.
#include <cstdlib>
#include <cstring>

#include <lexspot/array.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/table.hpp>
#include <lexspot/text.hpp>

using namespace lexspot;

// Keys are `const Text *`; equal characters make equal keys.
int32_t compare_texts(const void *x, const void *y) {
    return text_compare(*static_cast<const Text *>(x), *static_cast<const Text *>(y));
}

uint32_t hash_text(const void *key) {
    const Text *s = static_cast<const Text *>(key);
    uint32_t h = 2166136261u; // FNV-1a
    for (int32_t i = 0; i < s->len; ++i)
        h = (h ^ static_cast<unsigned char>(s->str[i])) * 16777619u;
    return h;
}

// Orders two entries of a pair array, each a key and its value, by key.
int compare_pairs(const void *x, const void *y) {
    const auto *a = static_cast<const Text *>(*static_cast<void *const *>(x));
    const auto *b = static_cast<const Text *>(*static_cast<void *const *>(y));
    return text_compare(*a, *b);
}

int main() {
    fmt_install('T', text_format);
    const char *input[] = {"to be or not to be", "that is the question", "to be"};
    Text letters = text_concat(text_lower_letters, text_upper_letters);

    // The hint is the number of bindings expected; the table never grows.
    Table words = table_create(100, compare_texts, hash_text);
    for (int32_t n = 1; n <= 3; ++n) {
        Text line = text_wrap(input[n - 1], static_cast<int>(std::strlen(input[n - 1])));
        for (int i = 1; (i = text_find_in_set(line, i, 0, letters)) != 0;) {
            int j = text_span_set(line, i, 0, letters);
            Text word = text_slice(line, i, j);
            i = j;
            auto *lines = static_cast<Array>(table_lookup(words, &word));
            if (lines == nullptr) {
                // A new key: the table keeps the pointer, so the key must
                // outlive its binding. A heap copy of the descriptor will do;
                // its characters stay in `input`.
                auto *key = static_cast<Text *>(mem_allocate(sizeof(Text)));
                *key = word;
                lines = array_create(0, sizeof(int32_t));
                table_store(words, key, lines);
            } else if (*static_cast<int32_t *>(array_at(lines, array_count(lines) - 1)) == n) {
                continue; // this line is recorded already
            }
            array_set_count(lines, array_count(lines) + 1);
            array_store(lines, array_count(lines) - 1, &n);
        }
    }

    // The bindings in sorted order: the pair array is key, value, key,
    // value, ..., then the end marker, here null (no key is null); qsort
    // moves each key with its value.
    void **pairs = table_to_pairs(words, nullptr);
    std::qsort(pairs, static_cast<size_t>(table_count(words)), 2 * sizeof(void *), compare_pairs);
    for (void **pair = pairs; pair[0] != nullptr; pair += 2) {
        auto *word = static_cast<Text *>(pair[0]);
        auto lines = static_cast<Array>(pair[1]);
        fmt_stdout("%-8T", word);
        for (int32_t i = 0; i < array_count(lines); ++i)
            fmt_stdout(" %d", *static_cast<int32_t *>(array_at(lines, i)));
        fmt_stdout("\n");
        // Free what the table pointed to; the table itself goes last.
        array_destroy(&lines);
        mem_release(word);
    }
    mem_release(pairs);
    table_destroy(&words);
}

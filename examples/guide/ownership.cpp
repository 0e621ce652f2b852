// SPDX-License-Identifier: MIT
// Who frees what: every kind of resource the library hands out, each given
// back the one way that fits it.
#include <cstdlib>
#include <cstring>

#include <lexspot/array.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>
#include <lexspot/table.hpp>
#include <lexspot/text.hpp>

using namespace lexspot;

int main() {
    fmt_install('T', text_format);

    // Heap blocks: from mem_allocate and from every operation that says the
    // caller frees its result with mem_release.
    char *greeting = fmt_alloc("%s, %d", "hello", 42); // exactly as long as needed
    auto *numbers = static_cast<int32_t *>(mem_allocate_zeroed(4, sizeof(int32_t)));
    numbers = static_cast<int32_t *>(mem_reallocate(numbers, 8 * sizeof(int32_t)));
    MpValue value = mp_create(1234);                  // the current width's bytes
    char *numeral = mp_render(nullptr, 0, 16, value); // a new block when given none
    fmt_stdout("%s; %s in base 16\n", greeting, numeral);
    mem_release(numeral);
    mem_release(value);
    mem_release(numbers);
    mem_release(greeting);

    // Texts own nothing. Characters copied into the string space are given
    // back all at once, by releasing to a mark taken before them.
    TextMark *mark = text_mark();
    Text word = text_from_cstr("string space");
    char *copy = text_to_cstr(nullptr, 0, word); // a heap copy, NUL-terminated
    text_release(&mark);                         // `word` is invalid from here on
    fmt_stdout("copied out before the release: %s\n", copy);
    mem_release(copy);

    // Tables and arrays: destroyed by the operation of their module, which
    // takes the handle's address and sets it to null. A table never frees
    // its keys or values; here they are string literals and the array.
    Table table = table_create(0, nullptr, nullptr);
    Array lines = array_create(3, sizeof(int32_t));
    table_store(table, "key", lines);
    void **pairs = table_to_pairs(table, nullptr); // key, value, ..., then the end marker
    fmt_stdout("%s -> an array of %d elements\n", static_cast<const char *>(pairs[0]),
               array_count(static_cast<Array>(pairs[1])));
    mem_release(pairs); // the pair array is a heap block; its pointers are the table's
    array_destroy(&lines);
    table_destroy(&table);
    fmt_stdout("handles after destroying: %s\n",
               table == nullptr && lines == nullptr ? "null" : "set");

    // An array over the caller's storage: array_init only describes it, and
    // nothing is freed by the array module.
    int32_t storage[2] = {7, 8};
    ArrayRecord record{};
    array_init(&record, 2, sizeof(int32_t), storage);
    fmt_stdout("element 1 of the caller's storage: %d\n",
               *static_cast<int32_t *>(array_at(&record, 1)));
}

// SPDX-License-Identifier: MIT
// The library from C++: raises thrown as lexspot::Error and caught with
// try and catch, owners that free what the library hands out, and texts as
// std::string_view.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <lexspot/cxx.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mp.hpp>
#include <lexspot/table.hpp>
#include <lexspot/text.hpp>

using namespace lexspot;

// The words of `line`, as views of its characters in string space.
std::vector<std::string_view> words_of(Text line) {
    std::vector<std::string_view> words;
    Text letters = text_concat(text_upper_letters, text_lower_letters);
    for (int i = 1; (i = text_find_in_set(line, i, 0, letters)) != 0;) {
        int j = text_span_set(line, i, 0, letters);
        words.push_back(text_view(text_slice(line, i, j)));
        i = j;
    }
    return words;
}

int main() {
    // Released to this mark when main ends, however it ends.
    TextMarkScope string_space;

    std::string input = "Owners free what they own";
    Text line = text_from_view(input); // a copy in string space
    for (std::string_view word : words_of(line))
        std::printf("[%.*s]", static_cast<int>(word.size()), word.data());
    std::printf("\n");

    // A raise under `throwing` is a C++ exception; a catch sees it.
    mp_set_width(16);
    MemOwner<unsigned char> value(mp_create(1)); // mem_release at the end
    int digits = 1;
    try {
        for (;; ++digits)
            throwing(mp_mul_ui, value.get(), value.get(), uint64_t{10});
    } catch (const Error &e) {
        if (e.exception() != &mp_overflow)
            throw;
        std::printf("10^%d does not fit 16 bits: %s in %s\n", digits, e.exception()->reason,
                    e.file());
    }

    // Owners of tables and arrays; keys and values stay the program's.
    TableOwner table(table_create(0, nullptr, nullptr));
    table_store(table.get(), "answer", value.get());
    std::printf("%d binding\n", table_count(table.get()));

    // A failed check is an Error too. Operations whose location parameters
    // default to the call site go through a lambda.
    try {
        throwing(text_slice, text_wrap("abc", 3), 1, 9);
    } catch (const Error &e) {
        std::printf("text_slice: %s in %s\n", e.exception()->reason, e.file());
    }
    try {
        MemOwner<char> block(throwing([] { return static_cast<char *>(mem_allocate(-1)); }));
    } catch (const Error &e) {
        std::printf("mem_allocate: %s in %s\n", e.exception()->reason, e.file());
    }
}

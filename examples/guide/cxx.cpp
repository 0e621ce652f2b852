// SPDX-License-Identifier: MIT
// The library from C++: raises thrown as lexspot::Error and caught with
// try and catch, owners that free what the library hands out, texts as
// std::string_view, and C++ exceptions thrown by the program's own code
// that the library calls.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
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

// %A: an amount in cents. A negative one is refused with a C++ exception,
// which the formatter passes on to the caller's catch.
void format_amount(int, va_list &args, PutFn put, void *closure, unsigned char flags[256],
                   int width, int precision) {
    const int cents = va_arg(args, int);
    if (cents < 0)
        throw std::invalid_argument("negative amount");
    char numeral[16];
    const int len = std::snprintf(numeral, sizeof numeral, "%d.%02d", cents / 100, cents % 100);
    fmt_pad_number(numeral, len, put, closure, flags, width, precision);
}

// Keys are words, compared by their characters; an empty one has no hash.
int32_t compare_words(const void *x, const void *y) {
    return std::strcmp(static_cast<const char *>(x), static_cast<const char *>(y));
}

uint32_t hash_word(const void *key) {
    const auto *word = static_cast<const unsigned char *>(key);
    if (*word == '\0')
        throw std::invalid_argument("empty key");
    uint32_t hash = 0;
    for (; *word != '\0'; ++word)
        hash = hash * 31 + *word;
    return hash;
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

    // A C++ exception from a conversion routine or a table's hash reaches the
    // catch unchanged; the library frees what it held and leaves its objects
    // whole on the way.
    fmt_install('A', format_amount);
    MemOwner<char> total(fmt_alloc("total: %A", 1999));
    std::printf("%s\n", total.get());
    try {
        MemOwner<char> refused(fmt_alloc("total: %A", -250)); // fmt_alloc frees its string
    } catch (const std::invalid_argument &e) {
        std::printf("fmt_alloc: %s\n", e.what());
    }
    char buf[32];
    FmtBuffer sent = {buf, buf, sizeof buf};
    try {
        fmt_append(&sent, "total: %A", -250);
    } catch (const std::invalid_argument &e) {
        // What was sent stays, with no NUL after it; `next` is past it.
        std::printf("fmt_append: %s after \"%.*s\"\n", e.what(),
                    static_cast<int>(sent.next - sent.buf), sent.buf);
    }
    TableOwner words(table_create(0, compare_words, hash_word));
    table_store(words.get(), "answer", nullptr);
    try {
        table_store(words.get(), "", nullptr);
    } catch (const std::invalid_argument &e) {
        std::printf("table_store: %s; still %d binding\n", e.what(), table_count(words.get()));
    }
}

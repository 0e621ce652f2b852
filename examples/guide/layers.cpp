// SPDX-License-Identifier: MIT
// The modules working together: a text copied into the string space, cut
// into words with the scanning operations, printed by the formatter through
// a conversion the program installs, and counted with a fixed-width integer.
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>
#include <lexspot/text.hpp>

using namespace lexspot;

int main() {
    // The formatter knows nothing of texts or fixed-width values: the
    // program chooses a conversion character for each.
    fmt_install('T', text_format); // %T takes a const Text *
    fmt_install('U', mp_format_u); // %U takes a value, then an int base
    mp_set_width(16);              // every value from here on has 16 bits

    TextMark *mark = text_mark();
    Text line = text_from_cstr("The quick brown fox jumps over the lazy dog");
    Text letters = text_concat(text_upper_letters, text_lower_letters);
    MpValue words = mp_create(0);

    // Skip to the next letter, then take the run of letters that starts there.
    for (int i = 1; (i = text_find_in_set(line, i, 0, letters)) != 0;) {
        int j = text_span_set(line, i, 0, letters);
        Text word = text_slice(line, i, j);
        mp_add_ui(words, words, 1);
        fmt_stdout("%2U %-5T|\n", words, 10, &word);
        i = j;
    }
    fmt_stdout("%U words, %08U in base 2\n", words, 10, words, 2);

    mem_release(words);  // a value from mp_create is a heap block
    text_release(&mark); // gives back every character taken since the mark
}

// SPDX-License-Identifier: MIT
// The string space: texts copied into it live until the space is released
// to a mark taken before them. A loop that takes a mark per round uses the
// same space again and again.
#include <lexspot/fmt.hpp>
#include <lexspot/text.hpp>

using namespace lexspot;

int main() {
    fmt_install('T', text_format);

    Text kept = text_from_cstr("made before the mark");
    const char line[] = "caller memory";
    Text wrapped = text_wrap(line, sizeof line - 1); // nothing copied

    const char *first_round_space = nullptr;
    for (int round = 1; round <= 3; ++round) {
        TextMark *mark = text_mark();
        Text number = text_from_cstr(round == 1 ? "one" : round == 2 ? "two" : "three");
        Text label = text_concat(text_from_cstr("round "), number);
        if (round == 1)
            first_round_space = number.str;
        fmt_stdout("%-12T|the same space as round 1: %s\n", &label,
                   number.str == first_round_space ? "yes" : "no");
        text_release(&mark); // `number` and `label` are invalid from here on
    }
    // Texts made before the mark, over caller memory, and the constants are
    // untouched by the release.
    fmt_stdout("%T; %T; %T\n", &kept, &wrapped, &text_decimal_digits);

    // Joining copies nothing when the first text ends where the space
    // continues: it is extended in place.
    TextMark *mark = text_mark();
    Text s = text_from_cstr("abc");
    Text joined = text_concat(s, text_from_cstr("def"));
    fmt_stdout("%T shares the characters of %T: %s\n", &joined, &s,
               joined.str == s.str ? "yes" : "no");

    // Positions count gaps from either end: 1 and -6 are the start of
    // "abcdef", 7 and 0 its end.
    Text middle = text_slice(joined, 3, -2);
    Text tail = text_slice(joined, 0, -3);
    fmt_stdout("slice(3, -2) = %T, slice(0, -3) = %T\n", &middle, &tail);
    text_release(&mark);
}

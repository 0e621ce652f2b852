// SPDX-License-Identifier: MIT

// The report both programs print on standard output, and their diagnostics
// on standard error.
//
// The report lists each identifier once, in `text_compare` order; after it
// come its files in the same order, each as a tab, the name and a colon (left
// out for standard input's empty name), a blank and a decimal number for
// every line recorded, and a line break. The first file stays on the
// identifier's line; every further file starts its own line with the tab:
//
//     x<TAB>a.c: 1 2
//     <TAB>b.c: 7
//
// lexspot prints its index through these functions as it drains it;
// lexspot-parallel prints the merge of its shards through the same ones.
// Everything goes through `fmt_stdout`, unflushed until `report_finish`.
#pragma once

#include <cstdint>
#include <cstdio>

#include <lexspot/text.hpp>

namespace lexspot {

// Installs `text_format` as %T and `mp_format_s` as %D in the formatter and
// sets the fixed-width integers to 24 bits, the width of a line number.
void report_setup();

// Starts an identifier's entry: the identifier itself.
void report_identifier(const Text *identifier);

// Starts one file's line: a tab, the name and a colon, unless the name is
// empty (standard input).
void report_file(const Text *name);

// Prints a blank and the decimal number for each of `count` line numbers,
// `index_number_size` bytes each.
void report_numbers(const unsigned char *numbers, int32_t count);

// Ends a file's line.
void report_end_file();

// Flushes standard output. Returns 0, or 1 after writing "PROGRAM: can't
// write the report (REASON)" on standard error when any of the report failed
// to reach its destination.
int report_finish(const char *program);

// Writes the diagnostic "PROGRAM: WHAT 'NAME' (REASON)" on `stream`, or
// "PROGRAM: WHAT standard input (REASON)" when `name` is null.
void report_diagnostic(FILE *stream, const char *program, const char *what, const char *name,
                       const char *reason);

} // namespace lexspot

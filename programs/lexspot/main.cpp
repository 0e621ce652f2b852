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
// Diagnostics go to standard error, one line each: a file that cannot be
// opened or read is named and skipped (what was read before a read error is
// kept), and the run goes on with exit status 0. A report that cannot be
// written to standard output ends the run with exit status 1. No handler is
// established, so any raise (the line-number limit, exhaustion) ends the run
// with the uncaught-exception report, before anything is printed.
#include <cstring>

#include "core/index.hpp"
#include "core/report.hpp"

using namespace lexspot;

namespace {

const char *program_name;

// Diagnostics go to standard error as they happen.
void print_diagnostic(void *, const char *what, const char *name, int error) {
    report_diagnostic(stderr, program_name, what, name, std::strerror(error));
}

void print_identifier(void *, const Text *identifier, int32_t) {
    report_identifier(identifier);
}

void print_file(void *, const Text *name, const unsigned char *numbers, int32_t count) {
    report_file(name);
    report_numbers(numbers, count);
    report_end_file();
}

} // namespace

int main(int argc, char *argv[]) {
    program_name = argv[0];
    const IndexDiagnostics diagnostics = {print_diagnostic, nullptr};

    Index index;
    index_start(&index);
    // The named files in command-line order, else standard input.
    for (int i = 1; i < argc; i++)
        index_path(&index, argv[i], diagnostics);
    if (argc == 1)
        index_stream(&index, nullptr, stdin, diagnostics);

    // The report, freeing each identifier's records as they are printed.
    index_drain(&index, {print_identifier, print_file, nullptr});
    return report_finish(program_name);
}

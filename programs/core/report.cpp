// SPDX-License-Identifier: MIT

// The report and the diagnostics.
#include "report.hpp"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <lexspot/fmt.hpp>
#include <lexspot/mp.hpp>

#include "index.hpp"

namespace lexspot {

void report_setup() {
    fmt_install('T', text_format);
    fmt_install('D', mp_format_s);
    mp_set_width(24);
}

void report_identifier(const Text *identifier) {
    // %T reads a pointer to Text from the argument list.
    fmt_stdout("%T", identifier);
}

void report_file(const Text *name) {
    if (name->len > 0)
        fmt_stdout("\t%T:", name);
}

void report_numbers(const unsigned char *numbers, int32_t count) {
    for (int32_t k = 0; k < count; k++)
        fmt_stdout(" %D", numbers + static_cast<std::ptrdiff_t>(k) * index_number_size, 10);
}

void report_end_file() {
    fmt_stdout("\n");
}

int report_finish(const char *program) {
    // A report that did not reach its destination is a failure, not a
    // silent success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: can't write the report (%s)\n", program, std::strerror(errno));
        return 1;
    }
    return 0;
}

void report_diagnostic(FILE *stream, const char *program, const char *what, const char *name,
                       const char *reason) {
    if (name != nullptr)
        std::fprintf(stream, "%s: %s '%s' (%s)\n", program, what, name, reason);
    else
        std::fprintf(stream, "%s: %s standard input (%s)\n", program, what, reason);
}

} // namespace lexspot

// SPDX-License-Identifier: MIT
// A raise that no frame catches: the report on standard error, then abort.
// Output still in the stdio buffer is lost, and no destructor runs.
#include <cstdio>

#include <lexspot/except.hpp>
#include <lexspot/fmt.hpp>

using namespace lexspot;

const Exception missing_setting = {"Missing setting"};

struct Witness {
    Witness() = default;
    Witness(const Witness &) = delete;
    Witness &operator=(const Witness &) = delete;
    ~Witness() { std::puts("never printed: the process aborts"); }
};

int main() {
    Witness witness;
    fmt_stdout("flushed before the raise\n");
    std::fflush(stdout);
    fmt_stdout("still buffered at the raise, and lost\n");
    // The place given need not be C++ source: here, a line of a settings file.
    raise_exception(&missing_setting, "settings.conf", 3);
}

// SPDX-License-Identifier: MIT

// Linked into every test binary.

// A request far beyond the machine must come back as null from malloc, as it
// does without the sanitizer, so that exhaustion paths can be tested.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}

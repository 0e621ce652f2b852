// SPDX-License-Identifier: MIT

// Thin wrappers over the libc allocator: at most one libc call each.
//
// Sizes and counts arrive as int64_t; where size_t is narrower (32-bit
// machines) a request it cannot hold is one no allocator can meet, so it is
// refused as exhaustion without a libc call, instead of being truncated into
// a small block that the caller would then overrun.
#include "mem.hpp"

#include <cstdlib>
#include <utility>

#include "assert.hpp"

namespace lexspot {

const Exception allocation_failed = {"Allocation Failed"};

namespace {

// Raises `allocation_failed` at the requester's location or, when it gives no
// path, at the failing operation's own line here (where this is called).
[[noreturn]] void raise_exhausted(const char *file, int32_t line,
                                  const char *here = __builtin_FILE(),
                                  int32_t here_line = __builtin_LINE()) {
    if (file == nullptr)
        assert_raise(allocation_failed, here, here_line);
    assert_raise(allocation_failed, file, line);
}

// Whether size_t holds `n`. A request it cannot hold is answered as if the
// allocator had returned null, and so raises on the operation's one raise line.
bool fits(int64_t n) {
    return std::in_range<size_t>(n);
}

} // namespace

void *mem_allocate(int64_t size, const char *file, int32_t line) {
    assert_require(size > 0);
    void *block = fits(size) ? std::malloc(static_cast<size_t>(size)) : nullptr;
    if (block == nullptr)
        raise_exhausted(file, line);
    return block;
}

void *mem_allocate_zeroed(int64_t count, int64_t size, const char *file, int32_t line) {
    assert_require(count > 0);
    assert_require(size > 0);
    void *block = fits(count) && fits(size)
                      ? std::calloc(static_cast<size_t>(count), static_cast<size_t>(size))
                      : nullptr;
    if (block == nullptr)
        raise_exhausted(file, line);
    return block;
}

void mem_release(void *block, const char *, int32_t) {
    if (block != nullptr)
        std::free(block);
}

void *mem_reallocate(void *block, int64_t size, const char *file, int32_t line) {
    assert_require(block != nullptr);
    assert_require(size > 0);
    void *resized = fits(size) ? std::realloc(block, static_cast<size_t>(size)) : nullptr;
    if (resized == nullptr)
        raise_exhausted(file, line);
    return resized;
}

} // namespace lexspot

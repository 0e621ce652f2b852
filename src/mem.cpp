// Thin wrappers over the libc allocator: at most one libc call each.
#include "mem.hpp"

#include <cstdlib>

#include "assert.hpp"

namespace lexspot {

const Exception allocation_failed = {"Allocation Failed"};

// Each operation raises `allocation_failed` through this macro so that, with
// no caller path, the report names the line of the failing operation here.
#define RAISE_ALLOCATION_FAILED(file, line)                                                        \
    ((file) != nullptr ? raise_exception(&allocation_failed, (file), (line))                       \
                       : raise_exception(&allocation_failed, __FILE__, __LINE__))

void *mem_allocate(int64_t size, const char *file, int32_t line) {
    assert_require(size > 0);
    void *block = std::malloc(static_cast<size_t>(size));
    if (block == nullptr)
        RAISE_ALLOCATION_FAILED(file, line);
    return block;
}

void *mem_allocate_zeroed(int64_t count, int64_t size, const char *file, int32_t line) {
    assert_require(count > 0);
    assert_require(size > 0);
    void *block = std::calloc(static_cast<size_t>(count), static_cast<size_t>(size));
    if (block == nullptr)
        RAISE_ALLOCATION_FAILED(file, line);
    return block;
}

void mem_release(void *block, const char *, int32_t) {
    if (block != nullptr)
        std::free(block);
}

void *mem_reallocate(void *block, int64_t size, const char *file, int32_t line) {
    assert_require(block != nullptr);
    assert_require(size > 0);
    void *resized = std::realloc(block, static_cast<size_t>(size));
    if (resized == nullptr)
        RAISE_ALLOCATION_FAILED(file, line);
    return resized;
}

} // namespace lexspot

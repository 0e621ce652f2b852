// The allocation shim: with the link options of the `failing_alloc` library
// (tests/CMakeLists.txt), every malloc, calloc, realloc and free call made by
// the library or the test code of a binary comes here. Calls from shared
// libraries (the C++ runtime's own allocations) are not wrapped: they never
// fail and are not counted.
#include "failing_alloc.hpp"

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" void *__real_realloc(void *block, size_t size);
extern "C" void __real_free(void *block);

namespace failing_alloc {

int32_t countdown = 0;
int64_t live = 0;

namespace {

// True when the request being made is the one chosen to fail.
bool refuse() {
    if (countdown == 0)
        return false;
    return --countdown == 0;
}

} // namespace

int64_t live_blocks() {
    return live;
}

} // namespace failing_alloc

using failing_alloc::live;
using failing_alloc::refuse;

extern "C" void *__wrap_malloc(size_t size) {
    void *block = refuse() ? nullptr : __real_malloc(size);
    live += block != nullptr;
    return block;
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
    void *block = refuse() ? nullptr : __real_calloc(count, size);
    live += block != nullptr;
    return block;
}

// A resize moves a block or keeps it: only a realloc of null makes a new one.
extern "C" void *__wrap_realloc(void *block, size_t size) {
    void *resized = refuse() ? nullptr : __real_realloc(block, size);
    live += block == nullptr && resized != nullptr;
    return resized;
}

extern "C" void __wrap_free(void *block) {
    live -= block != nullptr;
    __real_free(block);
}

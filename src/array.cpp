// SPDX-License-Identifier: MIT

// Dynamic array over one exactly sized block.
//
// Layout: the record holds the count, the element size and the storage
// pointer; the storage holds length × elem_size bytes and exists exactly while
// length > 0. Every resize is to the exact new size.
#include "array.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "assert.hpp"
#include "except.hpp"
#include "mem.hpp"

namespace lexspot {

namespace {

// The tests of a record's contents shared by `array_init` and `array_create`:
// storage exactly when there are elements, and a positive element size.
void require_contents(int32_t count, int32_t elem_size, const void *elems) {
    assert_require((elems != nullptr && count > 0) || (count == 0 && elems == nullptr));
    assert_require(elem_size > 0);
}

int64_t byte_size(int32_t count, int32_t elem_size) {
    return static_cast<int64_t>(count) * static_cast<int64_t>(elem_size);
}

} // namespace

Array array_create(int32_t count, int32_t elem_size) {
    // The record first, then the storage (with a positive count, an element
    // size of 0 or less fails in src/mem before any test of ours), then the
    // contents tests. Whatever fails after the record was obtained gives back
    // what was obtained before it is passed on.
    auto array = static_cast<Array>(mem_allocate(sizeof(ArrayRecord)));
    void *elems = nullptr;
    EXCEPTION_TRY {
        if (count > 0)
            elems = mem_allocate_zeroed(count, elem_size);
        require_contents(count, elem_size, elems);
    }
    EXCEPTION_HANDLER(frame) {
        mem_release(elems);
        mem_release(array);
        exception_reraise(frame);
    }
    EXCEPTION_END
    array->length = count;
    array->elem_size = elem_size;
    array->elems = elems;
    return array;
}

void array_init(Array array, int32_t count, int32_t elem_size, void *elems) {
    assert_require(array != nullptr);
    require_contents(count, elem_size, elems);
    // Storage the address space cannot hold is no storage: refused, so that
    // every element offset of an array fits in a pointer difference.
    assert_require(std::in_range<ptrdiff_t>(byte_size(count, elem_size)));
    array->length = count;
    array->elem_size = elem_size;
    array->elems = count > 0 ? elems : nullptr;
}

void array_destroy(Array *array) {
    assert_require(array != nullptr);
    assert_require(*array != nullptr);
    mem_release((*array)->elems);
    mem_release(*array);
    *array = nullptr;
}

int32_t array_count(Array array) {
    assert_require(array != nullptr);
    return array->length;
}

int32_t array_elem_size(Array array) {
    assert_require(array != nullptr);
    return array->elem_size;
}

void *array_at(Array array, int32_t index) {
    assert_require(array != nullptr);
    assert_require(index >= 0 && index < array->length);
    return static_cast<unsigned char *>(array->elems) + byte_size(index, array->elem_size);
}

const void *array_store(Array array, int32_t index, const void *elem) {
    assert_require(array != nullptr);
    assert_require(index >= 0 && index < array->length);
    assert_require(elem != nullptr);
    std::memcpy(static_cast<unsigned char *>(array->elems) + byte_size(index, array->elem_size),
                elem, static_cast<size_t>(array->elem_size));
    return elem;
}

void array_set_count(Array array, int32_t count) {
    assert_require(array != nullptr);
    assert_require(count >= 0);

    // `elems` is replaced only once the allocator has succeeded, so exhaustion
    // leaves the array as it was.
    if (count == 0) {
        mem_release(array->elems);
        array->elems = nullptr;
    } else if (array->length == 0) {
        array->elems = mem_allocate(byte_size(count, array->elem_size));
    } else {
        array->elems = mem_reallocate(array->elems, byte_size(count, array->elem_size));
    }
    array->length = count;
}

Array array_clone(Array array, int32_t count) {
    assert_require(array != nullptr);
    assert_require(count >= 0);

    Array copy = array_create(count, array->elem_size);
    int32_t kept = std::min(count, array->length);
    if (kept > 0)
        std::memcpy(copy->elems, array->elems,
                    static_cast<size_t>(byte_size(kept, array->elem_size)));
    return copy;
}

} // namespace lexspot

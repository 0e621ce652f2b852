// SPDX-License-Identifier: MIT

// Dynamic array: a counted sequence of fixed-size elements in one block.
//
// Representation:
// - `length` >= 0 elements of `elem_size` > 0 bytes each, stored contiguously
//   in `elems`; element i occupies bytes i × elem_size to
//   (i + 1) × elem_size − 1. Offsets and sizes are 64-bit products of the
//   32-bit fields.
// - `elems` is null exactly when `length` is 0. The storage always has exactly
//   `length` elements: no spare capacity.
// - `elem_size` never changes; `length` changes only through
//   `array_set_count`.
//
// Elements are copied in and out as raw bytes. A pointer from `array_at` stays
// valid only until the next `array_set_count` or `array_destroy` on the same
// array, which may move or free the storage.
//
// Ownership: an array made by `array_create` or `array_clone` owns its record
// and its storage, and `array_destroy` frees both. A record filled by
// `array_init` belongs, with its storage, to whoever provided them.
//
// Precondition failures raise `assertion_failed` at src/array, except where an
// operation says it fails in src/mem. Memory comes from the checked allocator
// at src/array's location, so exhaustion raises `allocation_failed` there.
#pragma once

#include <cstdint>

#include "export.hpp"

namespace lexspot {

struct ArrayRecord {
    int32_t length;    // number of elements, 0 or more
    int32_t elem_size; // bytes per element, greater than 0
    void *elems;       // length × elem_size bytes; null exactly when length is 0
};

using Array = ArrayRecord *;

// --- Creation and destruction

// A new array of `count` elements of `elem_size` zero bytes. With count > 0
// and elem_size <= 0 it raises `assertion_failed` in src/mem; otherwise it
// requires count >= 0, then elem_size > 0.
LEXSPOT_API Array array_create(int32_t count, int32_t elem_size);

// Fills `array` to describe `count` elements of `elem_size` bytes at `elems`.
// Requires, in order: array not null; elems not null with count > 0, or elems
// null with count 0; elem_size > 0; count × elem_size within what a pointer
// difference holds (on 32-bit machines, 2^31 - 1 bytes). The module never
// frees the record or the storage.
LEXSPOT_API void array_init(Array array, int32_t count, int32_t elem_size, void *elems);

// Frees the storage and the record and sets `*array` to null. Requires array
// and *array not null.
LEXSPOT_API void array_destroy(Array *array);

// --- Access

// `length`. Requires array not null.
LEXSPOT_API int32_t array_count(Array array);

// `elem_size`. Requires array not null.
LEXSPOT_API int32_t array_elem_size(Array array);

// A pointer to element `index` in the storage. Requires array not null, then
// 0 <= index < length.
LEXSPOT_API void *array_at(Array array, int32_t index);

// Copies elem_size bytes from `elem` into element `index` and returns `elem`.
// Requires array not null, then 0 <= index < length, then elem not null. The
// source must not overlap the element.
LEXSPOT_API const void *array_store(Array array, int32_t index, const void *elem);

// --- Resizing and copying

// Makes the array hold exactly `count` elements. The leading elements, up to
// the smaller of the two counts, keep their bytes; added elements are
// undefined until stored. A count of 0 frees the storage. On exhaustion the
// array keeps its storage and length. Requires array not null, then
// count >= 0.
LEXSPOT_API void array_set_count(Array array, int32_t count);

// A new array of `count` elements of the source's size: the source's first
// min(count, length) elements, then zero elements. Requires array not null,
// then count >= 0.
LEXSPOT_API Array array_clone(Array array, int32_t count);

} // namespace lexspot

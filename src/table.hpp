// SPDX-License-Identifier: MIT

// Hash table: untyped bindings from key pointers to value pointers.
//
// Representation:
// - A `Table` is a handle to one block holding the `TableRecord` followed by
//   its bucket array of `bucket_count` chain heads; `buckets` points into that
//   same block.
// - The bucket count is chosen once, from `table_bucket_counts`, by the size
//   hint given at creation, and never changes: there is no rehashing, so chains
//   lengthen as bindings are added.
// - A binding lives in the bucket `hash(key) % bucket_count`, both taken as
//   32-bit unsigned numbers. New bindings go in at the head of their chain.
// - No two bindings have keys that compare equal; `length` counts them all.
// - `stamp` starts at 0 and advances (wrapping) on every `table_store` and
//   every `table_erase` call that returns, and on nothing else;
//   `table_for_each` uses it to detect a table changed under it.
//
// Keys are compared by the client's `compare`, called with the searched key
// first and the stored key second, and hashed by the client's `hash`; keys that
// compare equal must hash alike. Without them, keys are compared and hashed by
// address.
//
// The client's functions (`compare`, `hash`, and the `apply` of
// `table_for_each`) may leave by a raise or by a C++ exception of their own,
// which the table passes on unchanged. `table_lookup`, `table_store` and
// `table_erase` are done calling `compare` and `hash` before they change
// anything, so a call that one of them leaves has changed nothing: the
// bindings, the count and the stamp are as they were, and no binding was
// allocated. A `table_for_each` that `apply` leaves ends there; what `apply`
// wrote through the value slots before stays written.
//
// Ownership: the table owns its record, its buckets and its binding nodes. It
// never reads, writes or frees what keys and values point to; freeing those is
// the client's work, before or after `table_destroy`.
//
// Iteration order, shared by `table_for_each` and `table_to_pairs`: ascending
// bucket index, and within a bucket from the newest binding to the oldest.
//
// Cost: `table_lookup`, `table_store` and `table_erase` call `hash` once and
// `compare` once for every binding they pass in the key's chain. With n
// bindings in b buckets and a hash that spreads the keys well, a chain holds
// about n / b bindings, so a lookup passes about n / b of them (a miss the
// whole chain, a hit the bindings stored after its own); with a hash that
// sends every key to one bucket it passes all n. Since b is fixed by the hint
// and never grows, the hint should be at least the number of bindings
// expected: beyond b bindings, every lookup slows in proportion to n. Memory
// is one pointer per bucket, allocated at creation even for a table that
// stays empty, plus one `TableBinding` per binding. `table_for_each` and
// `table_to_pairs` visit every bucket, and so does `table_destroy` of a table
// that is not empty: they cost b + n steps.
//
// Every precondition failure raises `assertion_failed` at src/table; all memory
// comes from the checked allocator at src/table's location, so exhaustion
// raises `allocation_failed` there.
#pragma once

#include <cstdint>

#include "export.hpp"

namespace lexspot {

// Returns 0 when the keys are equal and nonzero otherwise.
using TableCompareFn = int32_t (*)(const void *x, const void *y);
// Returns the key's hash; keys that compare equal must hash alike.
using TableHashFn = uint32_t (*)(const void *key);
// Called once per binding by `table_for_each` with the binding's key, the
// address of its value slot and the client's closure.
using TableApplyFn = void (*)(const void *key, void **value, void *closure);

// One binding, in the chain of its bucket.
struct TableBinding {
    TableBinding *link; // next binding in the same bucket; null at the end
    const void *key;    // the key as first stored
    void *value;        // the bound value
};

struct TableRecord {
    int32_t bucket_count;   // chosen at creation, never changed
    TableCompareFn compare; // the client's compare or `table_default_compare`
    TableHashFn hash;       // the client's hash or `table_default_hash`
    int32_t length;         // number of bindings
    uint32_t stamp;         // modification stamp; wraps
    TableBinding **buckets; // chain heads, null when empty; directly after the record
};

using Table = TableRecord *;

// The bucket counts `table_create` chooses from. The first entry is repeated;
// the last, the largest int32_t, ends the scan and is never chosen.
extern LEXSPOT_API const int32_t table_bucket_counts[10];

// 0 when `x` and `y` are the same address, 1 otherwise.
LEXSPOT_API int32_t table_default_compare(const void *x, const void *y);
// The low 32 bits of the key's address shifted right by 2.
LEXSPOT_API uint32_t table_default_hash(const void *key);

// --- Creation and destruction

// A new empty table. Its bucket count is the largest of 509, 1021, 2053, 4093,
// 8191, 16381, 32771 and 65521 that is less than `hint`, or 509 when `hint` is
// 509 or less. A null `compare` or `hash` selects the address-based default.
// Requires hint >= 0.
LEXSPOT_API Table table_create(int32_t hint, TableCompareFn compare, TableHashFn hash);

// Frees the table's bindings and record and sets `*table` to null. Keys and
// values are not touched. Requires table and *table not null.
LEXSPOT_API void table_destroy(Table *table);

// --- Queries

// The number of bindings. Requires table not null.
LEXSPOT_API int32_t table_count(Table table);

// The value bound to `key`, or null when it is absent (or bound to null).
// Requires table, then key, not null.
LEXSPOT_API void *table_lookup(Table table, const void *key);

// --- Modification

// Binds `key` to `value` (which may be null). Returns the value formerly bound
// to the key, or null when the key is new. An existing binding keeps its first
// key pointer and only has its value replaced, which allocates nothing. On
// exhaustion the table is left unchanged. Requires table, then key, not null.
LEXSPOT_API void *table_store(Table table, const void *key, void *value);

// Removes the binding of `key`. Returns its value, or null when the key was
// absent. The stamp advances either way. Requires table, then key, not null.
LEXSPOT_API void *table_erase(Table table, const void *key);

// --- Traversal

// Calls `apply(key, &value, closure)` for every binding in iteration order.
// `apply` may change the value through the slot it receives; any
// `table_store` or `table_erase` on this table from inside it raises
// `assertion_failed` as soon as that call of `apply` returns. Requires table,
// then apply, not null.
LEXSPOT_API void table_for_each(Table table, TableApplyFn apply, void *closure);

// A new array of 2 × length + 1 pointers: key, value, key, value, … in
// iteration order, then `end`. The caller owns it and frees it with
// `mem_release`. Requires table not null.
LEXSPOT_API void **table_to_pairs(Table table, void *end);

} // namespace lexspot

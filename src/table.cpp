// SPDX-License-Identifier: MIT

// Chained hash table over a fixed bucket array.
//
// Layout: one block holds the TableRecord and, directly after it, the
// bucket_count chain heads. Each binding is a separate TableBinding node,
// linked in at the head of its bucket's chain, so a chain runs from the newest
// binding to the oldest.
#include "table.hpp"

#include <cstddef>
#include <cstdint>

#include "assert.hpp"
#include "mem.hpp"

namespace lexspot {

const int32_t table_bucket_counts[10] = {509,  509,   1021,  2053,  4093,
                                         8191, 16381, 32771, 65521, INT32_MAX};

int32_t table_default_compare(const void *x, const void *y) {
    return x == y ? 0 : 1;
}

uint32_t table_default_hash(const void *key) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key) >> 2);
}

namespace {

// The chain head of the bucket that `key` belongs in.
TableBinding **bucket_of(Table table, const void *key) {
    uint32_t index = table->hash(key) % static_cast<uint32_t>(table->bucket_count);
    return &table->buckets[index];
}

// The place in the chain from `head` (the bucket slot or a binding's link)
// that points at the binding whose key compares equal to `key`, or at the null
// ending the chain. The searched key is always the first argument of compare.
TableBinding **find(Table table, TableBinding **head, const void *key) {
    TableBinding **place = head;
    while (*place != nullptr && table->compare(key, (*place)->key) != 0)
        place = &(*place)->link;
    return place;
}

} // namespace

Table table_create(int32_t hint, TableCompareFn compare, TableHashFn hash) {
    assert_require(hint >= 0);

    // The last entry is INT32_MAX, so the scan always stops.
    int32_t i = 0;
    while (table_bucket_counts[i + 1] < hint)
        ++i;
    int32_t bucket_count = table_bucket_counts[i];

    // The record and its buckets, one block.
    const int64_t size = static_cast<int64_t>(sizeof(TableRecord)) +
                         // NOLINTNEXTLINE(bugprone-sizeof-expression): buckets are pointers
                         static_cast<int64_t>(bucket_count) * int64_t{sizeof(TableBinding *)};
    auto table = static_cast<Table>(mem_allocate(size));
    table->bucket_count = bucket_count;
    table->compare = compare != nullptr ? compare : table_default_compare;
    table->hash = hash != nullptr ? hash : table_default_hash;
    table->buckets = reinterpret_cast<TableBinding **>(table + 1);
    for (int32_t b = 0; b < bucket_count; ++b)
        table->buckets[b] = nullptr;
    table->length = 0;
    table->stamp = 0;
    return table;
}

void table_destroy(Table *table) {
    assert_require(table != nullptr);
    assert_require(*table != nullptr);
    Table t = *table;
    if (t->length > 0) {
        for (int32_t b = 0; b < t->bucket_count; ++b) {
            TableBinding *binding = t->buckets[b];
            while (binding != nullptr) {
                TableBinding *next = binding->link;
                mem_release(binding);
                binding = next;
            }
        }
    }
    mem_release(t);
    *table = nullptr;
}

int32_t table_count(Table table) {
    assert_require(table != nullptr);
    return table->length;
}

void *table_lookup(Table table, const void *key) {
    assert_require(table != nullptr);
    assert_require(key != nullptr);
    TableBinding *binding = *find(table, bucket_of(table, key), key);
    return binding != nullptr ? binding->value : nullptr;
}

void *table_store(Table table, const void *key, void *value) {
    assert_require(table != nullptr);
    assert_require(key != nullptr);

    TableBinding **head = bucket_of(table, key);
    TableBinding **place = find(table, head, key);
    if (*place != nullptr) {
        void *previous = (*place)->value;
        (*place)->value = value;
        ++table->stamp;
        return previous;
    }

    // A new key: the allocation comes before any change, so exhaustion leaves
    // the table as it was.
    auto binding = static_cast<TableBinding *>(mem_allocate(sizeof(TableBinding)));
    binding->key = key;
    binding->link = *head;
    *head = binding;
    ++table->length;
    binding->value = value;
    ++table->stamp;
    return nullptr;
}

void *table_erase(Table table, const void *key) {
    assert_require(table != nullptr);
    assert_require(key != nullptr);

    // Every erase counts as a modification, whether or not it removes
    // anything, but only once the client's hash and compare are done: an
    // erase that they leave by an exception changes nothing.
    TableBinding **place = find(table, bucket_of(table, key), key);
    ++table->stamp;
    TableBinding *binding = *place;
    if (binding == nullptr)
        return nullptr;
    *place = binding->link;
    void *value = binding->value;
    mem_release(binding);
    --table->length;
    return value;
}

void table_for_each(Table table, TableApplyFn apply, void *closure) {
    assert_require(table != nullptr);
    assert_require(apply != nullptr);

    const uint32_t stamp = table->stamp;
    for (int32_t b = 0; b < table->bucket_count; ++b) {
        for (TableBinding *binding = table->buckets[b]; binding != nullptr;
             binding = binding->link) {
            apply(binding->key, &binding->value, closure);
            // Checked before the link is followed: the binding may be gone.
            assert_require(table->stamp == stamp);
        }
    }
}

void **table_to_pairs(Table table, void *end) {
    assert_require(table != nullptr);

    const int64_t slots = 2 * static_cast<int64_t>(table->length) + 1;
    auto pairs = static_cast<void **>(mem_allocate(slots * int64_t{sizeof(void *)}));
    int64_t next = 0;
    for (int32_t b = 0; b < table->bucket_count; ++b) {
        for (TableBinding *binding = table->buckets[b]; binding != nullptr;
             binding = binding->link) {
            pairs[next++] = const_cast<void *>(binding->key);
            pairs[next++] = binding->value;
        }
    }
    pairs[next] = end;
    return pairs;
}

} // namespace lexspot

// SPDX-License-Identifier: MIT

// Table store and lookup of many distinct short text keys through a client
// compare and hash, at the fixed bucket counts the lexspot driver uses (8191
// for its identifier table, 509 for each file table), against
// std::unordered_map with the same hash and equality.
//
// The table never grows, so the cost of a search rises with the key count;
// these figures show by how much.
//
// Two hashes: the driver's shift-add (h = 2h + byte, bytes signed) and FNV-1a,
// to tell the cost of the chain length from that of a poor spread.
//
// A full run takes several minutes, mostly the 509-bucket runs with 10^6 keys
// (chains of about 2000); --benchmark_filter='keys:100000$' skips those.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <lexspot/table.hpp>

namespace {

using namespace lexspot;

// A text key as the driver keeps it: length and pointer, not NUL-terminated.
struct TextKey {
    int32_t len;
    const char *str;
};

int32_t compare_text_keys(const void *x, const void *y) {
    auto a = static_cast<const TextKey *>(x);
    auto b = static_cast<const TextKey *>(y);
    return a->len != b->len || std::memcmp(a->str, b->str, static_cast<size_t>(a->len)) != 0;
}

uint32_t hash_shift_add(const void *key) {
    auto text = static_cast<const TextKey *>(key);
    uint32_t h = 0;
    for (int32_t i = 0; i < text->len; ++i) {
        const auto byte = static_cast<int32_t>(static_cast<signed char>(text->str[i]));
        h = 2 * h + static_cast<uint32_t>(byte);
    }
    return h;
}

uint32_t hash_fnv1a(const void *key) {
    auto text = static_cast<const TextKey *>(key);
    uint32_t h = 2166136261u;
    for (int32_t i = 0; i < text->len; ++i)
        h = (h ^ static_cast<unsigned char>(text->str[i])) * 16777619u;
    return h;
}

// `count` distinct identifier-like keys, 3 to 14 characters: a random
// lower-case prefix, '_', and the key's number in base 36. Shuffled.
struct KeySet {
    std::string chars;
    std::vector<TextKey> keys;
};

const KeySet &key_set(int64_t count) {
    static std::unordered_map<int64_t, KeySet> made;
    auto found = made.find(count);
    if (found != made.end())
        return found->second;
    KeySet &set = made[count];
    std::mt19937 rng(static_cast<uint32_t>(count));
    std::vector<std::pair<size_t, int32_t>> spans;
    for (int64_t i = 0; i < count; ++i) {
        const size_t start = set.chars.size();
        for (uint32_t n = 1 + rng() % 6; n > 0; --n)
            set.chars.push_back(static_cast<char>('a' + rng() % 26));
        set.chars.push_back('_');
        for (int64_t v = i;; v /= 36) {
            set.chars.push_back("0123456789abcdefghijklmnopqrstuvwxyz"[v % 36]);
            if (v < 36)
                break;
        }
        spans.emplace_back(start, static_cast<int32_t>(set.chars.size() - start));
    }
    for (const auto &[start, len] : spans)
        set.keys.push_back({len, set.chars.data() + start});
    std::shuffle(set.keys.begin(), set.keys.end(), rng);
    return set;
}

// A table of exactly `buckets` buckets: a hint one above a listed count
// selects that count.
Table create_table(int32_t buckets, TableHashFn hash) {
    Table table = table_create(buckets + 1, compare_text_keys, hash);
    if (table->bucket_count != buckets)
        std::abort();
    return table;
}

// Table: args are the bucket count and the key count.
template <TableHashFn hash>
void BM_TableStore(benchmark::State &state) {
    const auto buckets = static_cast<int32_t>(state.range(0));
    const KeySet &set = key_set(state.range(1));
    for (auto _ : state) {
        Table table = create_table(buckets, hash);
        for (const TextKey &key : set.keys)
            table_store(table, &key, const_cast<TextKey *>(&key));
        state.PauseTiming();
        benchmark::DoNotOptimize(table_count(table));
        table_destroy(&table);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(set.keys.size()));
}

template <TableHashFn hash>
void BM_TableLookup(benchmark::State &state) {
    const auto buckets = static_cast<int32_t>(state.range(0));
    const KeySet &set = key_set(state.range(1));
    Table table = create_table(buckets, hash);
    for (const TextKey &key : set.keys)
        table_store(table, &key, const_cast<TextKey *>(&key));
    // Look up through copies, so a hit needs the client compare.
    std::vector<TextKey> probes(set.keys.rbegin(), set.keys.rend());
    for (auto _ : state) {
        for (const TextKey &probe : probes)
            benchmark::DoNotOptimize(table_lookup(table, &probe));
    }
    table_destroy(&table);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(set.keys.size()));
}

template <TableHashFn hash>
struct MapHash {
    size_t operator()(const TextKey *key) const { return hash(key); }
};
struct MapEqual {
    bool operator()(const TextKey *x, const TextKey *y) const {
        return compare_text_keys(x, y) == 0;
    }
};
template <TableHashFn hash>
using Map = std::unordered_map<const TextKey *, void *, MapHash<hash>, MapEqual>;

// std::unordered_map: arg is the key count; it grows its buckets as it goes.
template <TableHashFn hash>
void BM_MapStore(benchmark::State &state) {
    const KeySet &set = key_set(state.range(0));
    for (auto _ : state) {
        auto map = new Map<hash>;
        for (const TextKey &key : set.keys)
            map->insert_or_assign(&key, const_cast<TextKey *>(&key));
        state.PauseTiming();
        benchmark::DoNotOptimize(map->size());
        delete map;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(set.keys.size()));
}

template <TableHashFn hash>
void BM_MapLookup(benchmark::State &state) {
    const KeySet &set = key_set(state.range(0));
    Map<hash> map;
    for (const TextKey &key : set.keys)
        map.insert_or_assign(&key, const_cast<TextKey *>(&key));
    std::vector<TextKey> probes(set.keys.rbegin(), set.keys.rend());
    for (auto _ : state) {
        for (const TextKey &probe : probes) {
            auto found = map.find(&probe);
            benchmark::DoNotOptimize(found != map.end() ? found->second : nullptr);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(set.keys.size()));
}

void table_args(benchmark::internal::Benchmark *b) {
    b->ArgNames({"buckets", "keys"});
    for (int64_t buckets : {8191, 509})
        for (int64_t keys : {100000, 1000000})
            b->Args({buckets, keys});
    b->Unit(benchmark::kMillisecond);
}

// The spread of the hash matters only where chains are short.
void table_args_8191(benchmark::internal::Benchmark *b) {
    b->ArgNames({"buckets", "keys"});
    for (int64_t keys : {100000, 1000000})
        b->Args({8191, keys});
    b->Unit(benchmark::kMillisecond);
}

void map_args(benchmark::internal::Benchmark *b) {
    b->ArgNames({"keys"});
    b->Arg(100000)->Arg(1000000);
    b->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(BM_TableStore<hash_shift_add>)->Apply(table_args);
BENCHMARK(BM_TableLookup<hash_shift_add>)->Apply(table_args);
BENCHMARK(BM_MapStore<hash_shift_add>)->Apply(map_args);
BENCHMARK(BM_MapLookup<hash_shift_add>)->Apply(map_args);
BENCHMARK(BM_TableStore<hash_fnv1a>)->Apply(table_args_8191);
BENCHMARK(BM_TableLookup<hash_fnv1a>)->Apply(table_args_8191);
BENCHMARK(BM_MapStore<hash_fnv1a>)->Apply(map_args);
BENCHMARK(BM_MapLookup<hash_fnv1a>)->Apply(map_args);

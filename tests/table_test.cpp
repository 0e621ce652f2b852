// SPDX-License-Identifier: MIT

#include <lexspot/table.hpp>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client_exit.hpp"
#include "failing_alloc.hpp"
#include "test_support.hpp"
#include <lexspot/assert.hpp>
#include <lexspot/mem.hpp>

namespace lexspot {
namespace {

// A test that leaves a block allocated fails.
[[maybe_unused]] const bool leak_check = failing_alloc::check_every_test_for_leaks();

// Client keys: records compared by content, so distinct copies of one value
// are one key.
struct Key {
    int32_t value;
};

int32_t compare_keys(const void *x, const void *y) {
    return static_cast<const Key *>(x)->value != static_cast<const Key *>(y)->value;
}

// Five hash values in all: long chains in a few buckets.
uint32_t hash_five(const void *key) {
    return static_cast<uint32_t>(static_cast<const Key *>(key)->value % 5);
}

// Thirteen hash values spread over the whole 32-bit range, most with the top
// bit set, so the bucket index depends on unsigned arithmetic.
uint32_t hash_thirteen_wide(const void *key) {
    return static_cast<uint32_t>(static_cast<const Key *>(key)->value % 13) * 2654435761u;
}

// The bindings in iteration order, as (key, value) pairs.
using Pairs = std::vector<std::pair<const void *, void *>>;

Pairs pairs_of(Table table) {
    Pairs out;
    void *end = &out;
    void **pairs = table_to_pairs(table, end);
    int64_t i = 0;
    for (; i < 2 * static_cast<int64_t>(table_count(table)); i += 2)
        out.emplace_back(pairs[i], pairs[i + 1]);
    EXPECT_EQ(pairs[i], end);
    mem_release(pairs);
    return out;
}

void collect(const void *key, void **value, void *closure) {
    static_cast<Pairs *>(closure)->emplace_back(key, *value);
}

Pairs visited_by_for_each(Table table) {
    Pairs out;
    table_for_each(table, collect, &out);
    return out;
}

TEST(TableTest, BucketCountFollowsHint) {
    const struct {
        int32_t hint;
        int32_t buckets;
    } cases[] = {
        {0, 509},           {1, 509},       {509, 509},     {510, 509},     {1021, 509},
        {1022, 1021},       {2053, 1021},   {2054, 2053},   {4093, 2053},   {4094, 4093},
        {8191, 4093},       {8192, 8191},   {10000, 8191},  {16381, 8191},  {16382, 16381},
        {32771, 16381},     {32772, 32771}, {65521, 32771}, {65522, 65521}, {1 << 30, 65521},
        {INT32_MAX, 65521},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hint);
        Table table = table_create(c.hint, nullptr, nullptr);
        EXPECT_EQ(table->bucket_count, c.buckets);
        // One block: the buckets follow the record directly, all empty.
        EXPECT_EQ(table->buckets, reinterpret_cast<TableBinding **>(table + 1));
        EXPECT_EQ(std::count(table->buckets, table->buckets + c.buckets, nullptr), c.buckets);
        EXPECT_EQ(table->length, 0);
        EXPECT_EQ(table->stamp, 0u);
        table_destroy(&table);
        EXPECT_EQ(table, nullptr);
    }
}

TEST(TableTest, NullFunctionsSelectTheDefaults) {
    Table table = table_create(0, nullptr, nullptr);
    EXPECT_EQ(table->compare, table_default_compare);
    EXPECT_EQ(table->hash, table_default_hash);
    table_destroy(&table);

    table = table_create(0, compare_keys, hash_five);
    EXPECT_EQ(table->compare, compare_keys);
    EXPECT_EQ(table->hash, hash_five);
    table_destroy(&table);

    int32_t a = 0, b = 0;
    EXPECT_EQ(table_default_compare(&a, &a), 0);
    EXPECT_EQ(table_default_compare(&a, &b), 1);
    // The low 32 bits of address >> 2: with 64-bit pointers the high half of
    // the address is dropped, and 32-bit pointers hold only the low one.
    const auto address = static_cast<uintptr_t>(UINT64_C(0x7654321012345678));
    EXPECT_EQ(table_default_hash(reinterpret_cast<const void *>(address)), 0x048D159Eu);
}

// By default a key is its address: equal contents at two addresses are two
// keys, and each is found only through its own pointer.
TEST(TableTest, DefaultKeysAreAddresses) {
    Table table = table_create(0, nullptr, nullptr);
    Key first{7}, second{7};
    int32_t v1 = 1, v2 = 2;
    EXPECT_EQ(table_store(table, &first, &v1), nullptr);
    EXPECT_EQ(table_lookup(table, &second), nullptr);
    EXPECT_EQ(table_store(table, &second, &v2), nullptr);
    EXPECT_EQ(table_count(table), 2);
    EXPECT_EQ(table_lookup(table, &first), &v1);
    EXPECT_EQ(table_lookup(table, &second), &v2);
    // The binding sits in the bucket of its address.
    uint32_t bucket = table_default_hash(&first) % 509u;
    TableBinding *chain = table->buckets[bucket];
    while (chain != nullptr && chain->key != &first)
        chain = chain->link;
    EXPECT_NE(chain, nullptr);
    EXPECT_EQ(table_erase(table, &first), &v1);
    EXPECT_EQ(table_lookup(table, &first), nullptr);
    EXPECT_EQ(table_lookup(table, &second), &v2);
    table_destroy(&table);
}

// Replacing a value keeps the first key pointer and the node, leaves the count
// alone and advances the stamp; a null value can be stored and replaced.
TEST(TableTest, StoreOfExistingKeyReplacesOnlyTheValue) {
    Table table = table_create(0, compare_keys, hash_five);
    Key first{3}, again{3};
    int32_t v1 = 1, v2 = 2;
    EXPECT_EQ(table_store(table, &first, nullptr), nullptr);
    EXPECT_EQ(table_count(table), 1);
    EXPECT_EQ(table_lookup(table, &again), nullptr);
    TableBinding *node = table->buckets[3];
    EXPECT_EQ(table_store(table, &again, &v1), nullptr); // the former value was null
    EXPECT_EQ(table_store(table, &again, &v2), &v1);
    EXPECT_EQ(table_count(table), 1);
    EXPECT_EQ(table->stamp, 3u);
    EXPECT_EQ(table->buckets[3], node);
    EXPECT_EQ(node->link, nullptr);
    EXPECT_EQ(node->key, &first);
    EXPECT_EQ(table_lookup(table, &first), &v2);
    EXPECT_EQ(pairs_of(table), (Pairs{{&first, &v2}}));
    table_destroy(&table);
}

// An erase of an absent key changes nothing but the stamp.
TEST(TableTest, EraseOfAbsentKeyOnlyAdvancesStamp) {
    Table table = table_create(0, compare_keys, hash_five);
    Key keys[3] = {{0}, {5}, {1}};
    int32_t values[3] = {};
    for (int i = 0; i < 3; ++i)
        table_store(table, &keys[i], &values[i]);
    const Pairs before = pairs_of(table);
    Key absent{10}; // hashes into the occupied chain of 0 and 5
    EXPECT_EQ(table_erase(table, &absent), nullptr);
    EXPECT_EQ(table->stamp, 4u);
    EXPECT_EQ(table_count(table), 3);
    EXPECT_EQ(pairs_of(table), before);
    table_destroy(&table);
}

TEST(TableTest, PairsOfEmptyTableHoldOnlyTheEndMarker) {
    Table table = table_create(0, nullptr, nullptr);
    int32_t marker = 0;
    void **pairs = table_to_pairs(table, &marker);
    EXPECT_EQ(pairs[0], &marker);
    mem_release(pairs);
    pairs = table_to_pairs(table, nullptr);
    EXPECT_EQ(pairs[0], nullptr);
    mem_release(pairs);
    EXPECT_EQ(visited_by_for_each(table), Pairs{});
    table_destroy(&table);
}

// Ascending bucket, newest first within a bucket.
TEST(TableTest, IterationOrderIsBucketThenNewestFirst) {
    Table table = table_create(0, compare_keys, hash_five);
    Key keys[] = {{4}, {0}, {9}, {5}, {1}, {14}};
    int32_t values[6] = {};
    for (int i = 0; i < 6; ++i)
        table_store(table, &keys[i], &values[i]);
    const Pairs expected = {{&keys[3], &values[3]}, {&keys[1], &values[1]}, // bucket 0
                            {&keys[4], &values[4]},                         // bucket 1
                            {&keys[5], &values[5]}, {&keys[2], &values[2]}, // bucket 4
                            {&keys[0], &values[0]}};
    EXPECT_EQ(pairs_of(table), expected);
    EXPECT_EQ(visited_by_for_each(table), expected);
    table_destroy(&table);
}

// The key's own value as its hash: a key chooses its bucket.
uint32_t hash_value(const void *key) {
    return static_cast<uint32_t>(static_cast<const Key *>(key)->value);
}

// The last bucket is visited like any other, and last: 508 of a 509-bucket
// table, reached both by a small hash and by one near the top of the range
// (4294966940 = 509 × 8438048 + 508).
TEST(TableTest, LastBucketIsVisitedLast) {
    Table table = table_create(0, compare_keys, hash_value);
    ASSERT_EQ(table->bucket_count, 509);
    Key keys[] = {{508}, {0}, {static_cast<int32_t>(4294966940u)}, {507}};
    int32_t values[4] = {};
    for (int i = 0; i < 4; ++i)
        table_store(table, &keys[i], &values[i]);
    const Pairs expected = {{&keys[1], &values[1]}, // bucket 0
                            {&keys[3], &values[3]}, // bucket 507
                            {&keys[2], &values[2]},
                            {&keys[0], &values[0]}}; // bucket 508
    EXPECT_EQ(pairs_of(table), expected);
    EXPECT_EQ(visited_by_for_each(table), expected);
    table_destroy(&table);
}

// Calls made by the counting compare and hash.
struct Call {
    const void *x, *y;
};
std::vector<Call> compare_calls;
int32_t hash_calls = 0;

int32_t counting_compare(const void *x, const void *y) {
    compare_calls.push_back({x, y});
    return compare_keys(x, y);
}

uint32_t counting_hash(const void *key) {
    ++hash_calls;
    return hash_five(key);
}

// A search hashes once and compares the searched key, always as the first
// argument, with each stored key it passes, newest first.
TEST(TableTest, SearchHashesOnceAndComparesSearchedKeyFirst) {
    Table table = table_create(0, counting_compare, counting_hash);
    Key keys[4] = {{2}, {7}, {12}, {17}}; // one bucket
    int32_t value = 0;
    for (Key &k : keys)
        table_store(table, &k, &value);
    Key probe{7};
    const struct {
        const char *what;
        std::function<void()> call;
        int32_t compares; // the chain is 17, 12, 7, 2 (then 17, 12, 2)
    } cases[] = {
        {"lookup", [&] { EXPECT_EQ(table_lookup(table, &probe), &value); }, 3},
        {"store", [&] { EXPECT_EQ(table_store(table, &probe, &value), &value); }, 3},
        {"erase", [&] { EXPECT_EQ(table_erase(table, &probe), &value); }, 3},
        {"lookup of absent key", [&] { EXPECT_EQ(table_lookup(table, &probe), nullptr); }, 3},
        {"store of new key", [&] { EXPECT_EQ(table_store(table, &probe, &value), nullptr); }, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        compare_calls.clear();
        hash_calls = 0;
        c.call();
        EXPECT_EQ(hash_calls, 1);
        ASSERT_EQ(compare_calls.size(), static_cast<size_t>(c.compares));
        for (const Call &call : compare_calls)
            EXPECT_EQ(call.x, &probe);
    }
    // The stored keys were passed newest first.
    compare_calls.clear();
    Key absent{22};
    table_lookup(table, &absent);
    std::vector<const void *> passed;
    for (const Call &call : compare_calls)
        passed.push_back(call.y);
    EXPECT_EQ(passed, (std::vector<const void *>{&probe, &keys[3], &keys[2], &keys[0]}));
    table_destroy(&table);
}

// Each failed precondition raises at src/table, in the stated order, before
// anything changes.
TEST(TableTest, PreconditionsRaiseAtTable) {
    Table table = table_create(0, compare_keys, hash_five);
    Key key{1};
    Table null_table = nullptr;
    struct Case {
        const char *check; // cases naming the same check fail at the same line
        std::function<void()> call;
    };
    const Case cases[] = {
        {"create hint", [] { table_create(-1, nullptr, nullptr); }},
        {"create hint", [] { table_create(INT32_MIN, compare_keys, hash_five); }},
        {"destroy address", [] { table_destroy(nullptr); }},
        {"destroy handle", [&] { table_destroy(&null_table); }},
        {"count table", [] { table_count(nullptr); }},
        {"store table", [&] { table_store(nullptr, &key, nullptr); }},
        {"store table", [] { table_store(nullptr, nullptr, nullptr); }},
        {"store key", [&] { table_store(table, nullptr, &key); }},
        {"lookup table", [&] { table_lookup(nullptr, &key); }},
        {"lookup table", [] { table_lookup(nullptr, nullptr); }},
        {"lookup key", [&] { table_lookup(table, nullptr); }},
        {"erase table", [&] { table_erase(nullptr, &key); }},
        {"erase table", [] { table_erase(nullptr, nullptr); }},
        {"erase key", [&] { table_erase(table, nullptr); }},
        {"for_each table", [] { table_for_each(nullptr, collect, nullptr); }},
        {"for_each table", [] { table_for_each(nullptr, nullptr, nullptr); }},
        {"for_each apply", [&] { table_for_each(table, nullptr, nullptr); }},
        {"to_pairs table", [] { table_to_pairs(nullptr, nullptr); }},
    };
    std::unordered_map<std::string, int32_t> line_of;
    std::unordered_map<int32_t, std::string> check_at;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.check);
        ExceptionFrame f = raised_by(c.call);
        EXPECT_EQ(f.exception, &assertion_failed);
        EXPECT_STREQ(f.file, "src/table.cpp");
        auto [seen, fresh] = line_of.emplace(c.check, f.line);
        EXPECT_EQ(seen->second, f.line) << "one check, one line";
        if (fresh) {
            EXPECT_TRUE(check_at.emplace(f.line, c.check).second) << "two checks at one line";
        }
    }
    EXPECT_EQ(table->stamp, 0u);
    EXPECT_EQ(table_count(table), 0);
    table_destroy(&table);
}

TEST(TableTest, DestroyNullsTheHandleAndRefusesASecondTime) {
    Table table = table_create(0, compare_keys, hash_five);
    Key keys[40];
    for (int32_t i = 0; i < 40; ++i) {
        keys[i].value = i;
        table_store(table, &keys[i], nullptr);
    }
    table_destroy(&table); // the sanitizer build checks every node is freed
    EXPECT_EQ(table, nullptr);
    ExceptionFrame f = raised_by([&] { table_destroy(&table); });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/table.cpp");
}

// Exhaustion raises `allocation_failed` at src/table. A store of a new key
// that fails leaves the table exactly as it was, stamp included, and so does
// a failed `table_to_pairs`.
TEST(TableTest, ExhaustionLeavesTheTableUnchanged) {
    ExceptionFrame f = raised_when_request_refused(1, [] { table_create(0, nullptr, nullptr); });
    EXPECT_EQ(f.exception, &allocation_failed);
    EXPECT_STREQ(f.file, "src/table.cpp");

    Table table = table_create(0, compare_keys, hash_five);
    Key keys[3] = {{0}, {5}, {1}};
    int32_t values[4] = {};
    for (int i = 0; i < 3; ++i)
        table_store(table, &keys[i], &values[i]);
    const Pairs before = pairs_of(table);
    Key fresh{10}; // joins the chain of 0 and 5
    const struct {
        const char *what;
        std::function<void()> call;
    } cases[] = {
        {"store", [&] { table_store(table, &fresh, &values[3]); }},
        {"to_pairs", [&] { table_to_pairs(table, nullptr); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        f = raised_when_request_refused(1, c.call);
        EXPECT_EQ(f.exception, &allocation_failed);
        EXPECT_STREQ(f.file, "src/table.cpp");
        EXPECT_EQ(table_count(table), 3);
        EXPECT_EQ(table->stamp, 3u);
        EXPECT_EQ(table_lookup(table, &fresh), nullptr);
        EXPECT_EQ(pairs_of(table), before);
    }
    EXPECT_EQ(table_store(table, &fresh, &values[3]), nullptr);
    EXPECT_EQ(table_lookup(table, &fresh), &values[3]);
    table_destroy(&table);
}

// --- Modification during table_for_each

struct Modification {
    const char *what;
    std::function<void(Table, const void *visited)> change;
};

struct ForEachProbe {
    Table table;
    const Modification *modification;
    int32_t modify_on_call; // 1-based
    int32_t calls;
};

void modify_on_chosen_call(const void *key, void **, void *closure) {
    auto probe = static_cast<ForEachProbe *>(closure);
    if (++probe->calls == probe->modify_on_call)
        probe->modification->change(probe->table, key);
}

// Every store and erase inside the apply function, even one that removes
// nothing or only replaces a value, is caught right after the call that made
// it.
TEST(TableTest, ForEachDetectsEveryModification) {
    static Key keys[4] = {{0}, {1}, {2}, {3}};
    static Key absent{99};
    static int32_t value = 0;
    const Modification modifications[] = {
        {"store new key", [](Table t, const void *) { table_store(t, &absent, nullptr); }},
        {"store replacing value",
         [](Table t, const void *visited) { table_store(t, visited, &value); }},
        {"store of the same value",
         [](Table t, const void *visited) { table_store(t, visited, table_lookup(t, visited)); }},
        {"erase of the visited key", [](Table t, const void *visited) { table_erase(t, visited); }},
        {"erase of another key", [](Table t, const void *) { table_erase(t, &keys[3]); }},
        {"erase of an absent key", [](Table t, const void *) { table_erase(t, &absent); }},
    };
    for (const Modification &m : modifications) {
        for (int32_t on_call : {1, 2, 4}) {           // 4: the last binding
            for (uint32_t stamp : {0u, UINT32_MAX}) { // the stamp may wrap
                SCOPED_TRACE(testing::Message()
                             << m.what << ", call " << on_call << ", stamp " << stamp);
                Table table = table_create(0, compare_keys, hash_five);
                for (Key &k : keys)
                    table_store(table, &k, nullptr);
                table->stamp = stamp;
                ForEachProbe probe{table, &m, on_call, 0};
                ExceptionFrame f =
                    raised_by([&] { table_for_each(table, modify_on_chosen_call, &probe); });
                EXPECT_EQ(f.exception, &assertion_failed);
                EXPECT_STREQ(f.file, "src/table.cpp");
                EXPECT_EQ(probe.calls, on_call);
                table_destroy(&table);
            }
        }
    }
}

void add_one(const void *, void **value, void *closure) {
    *value = static_cast<int32_t *>(*value) + 1;
    ++*static_cast<int32_t *>(closure);
}

// Writing through the value slot is allowed and is seen by later lookups.
TEST(TableTest, ForEachAllowsChangesThroughTheSlot) {
    Table table = table_create(0, compare_keys, hash_five);
    Key keys[12];
    int32_t values[13] = {};
    for (int32_t i = 0; i < 12; ++i) {
        keys[i].value = i;
        table_store(table, &keys[i], &values[i]);
    }
    int32_t calls = 0;
    table_for_each(table, add_one, &calls);
    EXPECT_EQ(calls, 12);
    for (int32_t i = 0; i < 12; ++i)
        EXPECT_EQ(table_lookup(table, &keys[i]), &values[i + 1]);
    EXPECT_EQ(table->stamp, 12u);
    table_destroy(&table);
}

void store_during_visit(const void *, void **, void *closure) {
    static Key extra{1000};
    table_store(static_cast<Table>(closure), &extra, nullptr);
}

TEST(TableDeathTest, UncaughtModificationDuringForEachIsReported) {
    Table table = table_create(0, compare_keys, hash_five);
    Key key{1};
    table_store(table, &key, nullptr);
    Table probe = table_create(0, compare_keys, hash_five);
    table_store(probe, &key, nullptr);
    ExceptionFrame f = raised_by([&] { table_for_each(probe, store_during_visit, probe); });
    table_destroy(&probe);
    const std::string report =
        "Uncaught exception Assertion failed raised at src/table.cpp:" + std::to_string(f.line) +
        "\naborting...\n";
    EXPECT_EXIT(table_for_each(table, store_during_visit, table), testing::KilledBySignal(SIGABRT),
                abort_report(testing::Eq(report)));
    table_destroy(&table);
}

// --- Client functions that throw

// A compare and a hash that leave as `how` says at their `leave_at`th call,
// counted over both; with leave_at 0 they never leave.
struct Leaving {
    Exit how;
    int32_t leave_at;
    int32_t calls;
};
Leaving leaving = {Exit::cxx, 0, 0};

void count_or_leave() {
    if (++leaving.calls == leaving.leave_at)
        leave(leaving.how);
}

int32_t leaving_compare(const void *x, const void *y) {
    count_or_leave();
    return compare_keys(x, y);
}

uint32_t leaving_hash(const void *key) {
    count_or_leave();
    return hash_five(key);
}

// The compare or hash leaving at each call of an operation in turn leaves the
// table exactly as it was (bindings, count and stamp) and allocates nothing;
// the run in which neither leaves then does what the operation does.
TEST(TableTest, ThrowingCompareOrHashLeavesTheTableAsItWas) {
    Key keys[4] = {{0}, {5}, {10}, {1}}; // bucket 0 holds the chain 10, 5, 0
    Key fresh{15}, again{0}, absent{20};
    int32_t values[5] = {};
    const struct {
        const char *what;
        std::function<void *(Table)> call;
        void *returned;
        int32_t calls;        // of the compare and hash, in the run that completes
        int32_t count_change; // and of the count and the stamp then
        uint32_t stamp_change;
    } cases[] = {
        {"store of a new key", [&](Table t) { return table_store(t, &fresh, &values[4]); }, nullptr,
         4, 1, 1},
        {"store of a present key", [&](Table t) { return table_store(t, &again, &values[4]); },
         &values[0], 4, 0, 1},
        {"erase of a present key", [&](Table t) { return table_erase(t, &keys[1]); }, &values[1], 3,
         -1, 1},
        {"erase of an absent key", [&](Table t) { return table_erase(t, &absent); }, nullptr, 4, 0,
         1},
        {"lookup", [&](Table t) { return table_lookup(t, &keys[0]); }, &values[0], 4, 0, 0},
    };
    for (Exit how : every_exit) {
        for (const auto &c : cases) {
            leaving = {how, 0, 0};
            Table table = table_create(0, leaving_compare, leaving_hash);
            for (int i = 0; i < 4; ++i)
                table_store(table, &keys[i], &values[i]);
            const Pairs before = pairs_of(table);
            const uint32_t stamp = table->stamp;
            const int64_t live = failing_alloc::live_blocks();
            for (int32_t at = 1;; ++at) {
                SCOPED_TRACE(testing::Message()
                             << name_of(how) << ", " << c.what << ", call " << at);
                leaving = {how, at, 0};
                void *returned = nullptr;
                if (!left_as(how, [&] { returned = c.call(table); })) {
                    EXPECT_EQ(returned, c.returned);
                    EXPECT_EQ(leaving.calls, c.calls);
                    EXPECT_EQ(table_count(table), 4 + c.count_change);
                    EXPECT_EQ(table->stamp, stamp + c.stamp_change);
                    break;
                }
                EXPECT_EQ(table_count(table), 4);
                EXPECT_EQ(table->stamp, stamp);
                EXPECT_EQ(pairs_of(table), before);
                EXPECT_EQ(failing_alloc::live_blocks(), live);
                ASSERT_LE(at, c.calls);
            }
            leaving = {how, 0, 0};
            table_destroy(&table);
        }
    }
}

struct ThrowingVisit {
    Table table;
    Exit how;
    int32_t visits;
};

// Tries to erase the visited key and to store a new one, each with the hash
// leaving, and handles what arrives inside the apply function.
void change_with_leaving_hash(const void *key, void **, void *closure) {
    static Key fresh{15};
    auto *visit = static_cast<ThrowingVisit *>(closure);
    ++visit->visits;
    leaving = {visit->how, 1, 0};
    EXPECT_TRUE(left_as(visit->how, [&] { table_erase(visit->table, key); }));
    leaving = {visit->how, 1, 0};
    EXPECT_TRUE(left_as(visit->how, [&] { table_store(visit->table, &fresh, nullptr); }));
    leaving = {visit->how, 0, 0};
}

// A store or erase that threw changed nothing, so `table_for_each` sees no
// change when the apply function handles the throw and returns.
TEST(TableTest, ForEachSeesNoChangeFromACallThatThrew) {
    Key keys[4] = {{0}, {5}, {10}, {1}};
    for (Exit how : every_exit) {
        SCOPED_TRACE(name_of(how));
        Table table = table_create(0, leaving_compare, leaving_hash);
        for (Key &k : keys)
            table_store(table, &k, nullptr);
        const Pairs before = pairs_of(table);
        const uint32_t stamp = table->stamp;
        ThrowingVisit visit{table, how, 0};
        EXPECT_EQ(
            raised_by([&] { table_for_each(table, change_with_leaving_hash, &visit); }).exception,
            nullptr);
        EXPECT_EQ(visit.visits, 4);
        EXPECT_EQ(table->stamp, stamp);
        EXPECT_EQ(pairs_of(table), before);
        table_destroy(&table);
    }
}

struct LeavingApply {
    Exit how;
    int32_t leave_at; // 1-based
    int32_t calls;
};

void add_one_then_leave(const void *, void **value, void *closure) {
    auto *apply = static_cast<LeavingApply *>(closure);
    *value = static_cast<int32_t *>(*value) + 1;
    if (++apply->calls == apply->leave_at)
        leave(apply->how);
}

// An apply function that leaves ends the traversal there: the throw passes
// through unchanged, the values it changed before stay changed, and the
// table is whole, to be traversed again.
TEST(TableTest, ThrowingApplyEndsTheTraversal) {
    Key keys[4] = {{0}, {5}, {10}, {1}};
    int32_t values[9] = {};
    for (Exit how : every_exit) {
        for (int32_t at : {1, 3, 4}) {
            SCOPED_TRACE(testing::Message() << name_of(how) << ", call " << at);
            Table table = table_create(0, compare_keys, hash_five);
            for (int i = 0; i < 4; ++i)
                table_store(table, &keys[i], &values[2 * i]);
            LeavingApply apply{how, at, 0};
            EXPECT_TRUE(left_as(how, [&] { table_for_each(table, add_one_then_leave, &apply); }));
            EXPECT_EQ(apply.calls, at);
            EXPECT_EQ(table_count(table), 4);
            EXPECT_EQ(table->stamp, 4u);
            // Iteration order: 10, 5, 0 in bucket 0, then 1.
            const Key *order[4] = {&keys[2], &keys[1], &keys[0], &keys[3]};
            for (int32_t i = 0; i < 4; ++i) {
                const auto *stored = static_cast<int32_t *>(table_lookup(table, order[i]));
                EXPECT_EQ(stored - values, 2 * (order[i] - keys) + (i < at ? 1 : 0)) << i;
            }
            apply = {how, 0, 0};
            table_for_each(table, add_one_then_leave, &apply);
            EXPECT_EQ(apply.calls, 4);
            table_destroy(&table);
        }
    }
}

// --- Randomized comparison with a model

// std::unordered_map using the table's own compare and hash.
struct ModelHash {
    TableHashFn hash;
    size_t operator()(const void *key) const { return hash(key); }
};
struct ModelEqual {
    TableCompareFn compare;
    bool operator()(const void *x, const void *y) const { return compare(x, y) == 0; }
};
struct ModelBinding {
    void *value;
    uint64_t added; // insertion sequence number; larger is newer
};
using Model = std::unordered_map<const void *, ModelBinding, ModelHash, ModelEqual>;

// The predicted iteration order: ascending bucket, newest first.
Pairs predicted_order(const Model &model, TableHashFn hash, int32_t bucket_count) {
    std::vector<std::pair<const void *, ModelBinding>> entries(model.begin(), model.end());
    auto bucket = [&](const void *key) { return hash(key) % static_cast<uint32_t>(bucket_count); };
    std::sort(entries.begin(), entries.end(), [&](const auto &a, const auto &b) {
        if (bucket(a.first) != bucket(b.first))
            return bucket(a.first) < bucket(b.first);
        return a.second.added > b.second.added;
    });
    Pairs out;
    for (const auto &[key, binding] : entries)
        out.emplace_back(key, binding.value);
    return out;
}

struct ModelConfig {
    const char *what;
    int32_t hint;
    TableCompareFn compare; // null: by address
    TableHashFn hash;       // null: by address
};

// A few thousand random stores, lookups and erases, with every result, the
// count and the stamp compared after each, and the iteration order compared
// often. Keys come in several copies per value, so equal keys at different
// addresses meet when compared by content.
TEST(TableTest, RandomOperationsMatchModel) {
    const ModelConfig configs[] = {
        {"five hashes, 509 buckets", 0, compare_keys, hash_five},
        {"thirteen wide hashes, 1021 buckets", 1500, compare_keys, hash_thirteen_wide},
        {"by address, 509 buckets", 0, nullptr, nullptr},
    };
    constexpr int32_t key_values = 60, copies = 3, steps = 4000;
    std::vector<Key> pool(key_values * copies);
    for (size_t i = 0; i < pool.size(); ++i)
        pool[i].value = static_cast<int32_t>(i % key_values);
    std::vector<int32_t> value_pool(50);

    std::mt19937 rng(20261210);
    for (const ModelConfig &config : configs) {
        SCOPED_TRACE(config.what);
        Table table = table_create(config.hint, config.compare, config.hash);
        const TableCompareFn compare = table->compare;
        const TableHashFn hash = table->hash;
        Model model(16, ModelHash{hash}, ModelEqual{compare});
        uint32_t stamp = 0;
        uint64_t added = 0;
        for (int32_t step = 0; step < steps; ++step) {
            const Key *key = &pool[rng() % pool.size()];
            void *value = rng() % 10 == 0 ? nullptr : &value_pool[rng() % value_pool.size()];
            auto found = model.find(key);
            void *expected = found != model.end() ? found->second.value : nullptr;
            const uint32_t op = rng() % 20;
            if (op < 9) {
                ASSERT_EQ(table_store(table, key, value), expected) << "store at step " << step;
                if (found != model.end())
                    found->second.value = value;
                else
                    model.emplace(key, ModelBinding{value, added++});
                ++stamp;
            } else if (op < 15) {
                ASSERT_EQ(table_erase(table, key), expected) << "erase at step " << step;
                if (found != model.end())
                    model.erase(found);
                ++stamp;
            } else {
                ASSERT_EQ(table_lookup(table, key), expected) << "lookup at step " << step;
            }
            ASSERT_EQ(table_count(table), static_cast<int32_t>(model.size()));
            ASSERT_EQ(table->stamp, stamp);
            if (step % 50 == 0 || step == steps - 1) {
                const Pairs order = predicted_order(model, hash, table->bucket_count);
                ASSERT_EQ(pairs_of(table), order) << "pairs at step " << step;
                ASSERT_EQ(visited_by_for_each(table), order) << "for_each at step " << step;
            }
        }
        table_destroy(&table);
    }
}

} // namespace
} // namespace lexspot

// SPDX-License-Identifier: MIT

// Drives operation sequences on a hash table and on a few dynamic arrays and
// checks each result against standard-library models: the bindings, which
// key pointer a binding keeps, the traversal order (ascending bucket, newest
// binding first within a bucket), the modification check of table_for_each,
// and the bytes, counts and emptiness of every array.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include <lexspot/array.hpp>
#include <lexspot/assert.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/table.hpp>

using namespace lexspot;
using lexspot::fuzz::Input;
using lexspot::fuzz::raised_by;

namespace {

#define FAIL(...) lexspot::fuzz::fail("collections_fuzz", __VA_ARGS__)

// ---- Table

// Keys are ints in a fixed pool; several slots hold the same number, so with
// the client's compare distinct pointers name one key.
constexpr int key_slots = 96;
int key_pool[key_slots];
int value_pool[16];

// The client's hash folds keys into few values so that chains form.
uint32_t hash_mask = 0;
int32_t compare_ints(const void *x, const void *y) {
    return *static_cast<const int *>(x) != *static_cast<const int *>(y);
}
uint32_t hash_ints(const void *key) {
    return static_cast<uint32_t>(*static_cast<const int *>(key)) & hash_mask;
}

int32_t buckets_for(int32_t hint) {
    const int32_t counts[] = {509, 1021, 2053, 4093, 8191, 16381, 32771, 65521};
    int32_t chosen = 509;
    for (int32_t c : counts)
        if (c < hint)
            chosen = c;
    return chosen;
}

struct Binding {
    const void *key; // the pointer first stored
    void *value;
    uint64_t born; // order of creation
};

class TableRun {
  public:
    explicit TableRun(Input &in) : in_(in) {}

    void go() {
        by_value_ = in_.below(4) != 0;
        hash_mask = by_value_ ? static_cast<uint32_t>(in_.below(4) == 0 ? 0 : in_.byte()) : 0;
        // Mostly the smallest bucket counts: a walk visits every bucket.
        static const int32_t hints[] = {0, 509, 510, 1021, 1022, 2053, 2054, 65521, 65522, 100000};
        const int32_t hint = hints[in_.chance(16) ? in_.below(10) : in_.below(5)];
        table_ = by_value_ ? table_create(hint, compare_ints, hash_ints)
                           : table_create(hint, nullptr, nullptr);
        if (table_->bucket_count != buckets_for(hint) || table_->length != 0 || table_->stamp != 0)
            FAIL("table_create(%d): %d buckets, length %d", hint, table_->bucket_count,
                 table_->length);
        for (step_ = 0; in_.more() && step_ < 300; ++step_)
            one_step();
        check_order();
        table_destroy(&table_);
        if (table_ != nullptr)
            FAIL("table_destroy left the handle set");
    }

  private:
    // Model key: the number for the client's compare, the address otherwise.
    intptr_t model_key(const void *key) const {
        return by_value_ ? *static_cast<const int *>(key) : reinterpret_cast<intptr_t>(key);
    }
    uint32_t bucket_of(const void *key) const {
        uint32_t h = by_value_ ? hash_ints(key) : table_default_hash(key);
        return h % static_cast<uint32_t>(table_->bucket_count);
    }
    const void *any_key() { return &key_pool[in_.below(key_slots)]; }
    void *any_value() {
        int v = in_.below(17);
        return v == 16 ? nullptr : &value_pool[v];
    }

    // The bindings in traversal order, by the model.
    std::vector<Binding> expected_order() const {
        std::vector<Binding> all;
        for (const auto &kv : model_)
            all.push_back(kv.second);
        std::sort(all.begin(), all.end(), [this](const Binding &a, const Binding &b) {
            uint32_t ba = bucket_of(a.key), bb = bucket_of(b.key);
            return ba != bb ? ba < bb : a.born > b.born;
        });
        return all;
    }

    void check_order() {
        const std::vector<Binding> order = expected_order();
        void *end = &value_pool[0];
        void **pairs = table_to_pairs(table_, end);
        for (size_t k = 0; k < order.size(); ++k)
            if (pairs[2 * k] != order[k].key || pairs[2 * k + 1] != order[k].value)
                FAIL("step %d: table_to_pairs entry %zu of %zu out of order", step_, k,
                     order.size());
        if (pairs[2 * order.size()] != end)
            FAIL("step %d: table_to_pairs misses its end marker", step_);
        mem_release(pairs);
    }

    struct Visit {
        TableRun *run;
        std::vector<Binding> seen;
        size_t meddle_at;  // the visit whose apply changes the table
        int meddle_how;    // 0 store of a new key, 1 store over a key, 2 erase, 3 erase absent
        void *replacement; // written through the value slot on every visit
        bool rewrite;
    };

    static void apply(const void *key, void **value, void *closure) {
        auto *v = static_cast<Visit *>(closure);
        TableRun &r = *v->run;
        v->seen.push_back({key, *value, 0});
        if (v->rewrite) {
            *value = v->replacement;
            r.model_[r.model_key(key)].value = v->replacement;
        }
        if (v->seen.size() - 1 != v->meddle_at)
            return;
        switch (v->meddle_how) {
        case 0: {
            // A key with a number no slot holds, so it is certainly new.
            static int fresh = -1;
            r.meddle(table_store(r.table_, &fresh, nullptr), &fresh, nullptr, true);
            break;
        }
        case 1: r.meddle(table_store(r.table_, key, nullptr), key, nullptr, true); break;
        case 2: r.meddle(table_erase(r.table_, key), key, nullptr, false); break;
        default: {
            static int absent = -2;
            r.meddle(table_erase(r.table_, &absent), &absent, nullptr, false);
            break;
        }
        }
    }

    // Checks what a change made inside apply returned and brings the model
    // up to date with it.
    void meddle(void *returned, const void *key, void *value, bool store) {
        const intptr_t k = model_key(key);
        auto it = model_.find(k);
        if (returned != (it == model_.end() ? nullptr : it->second.value))
            FAIL("step %d: a change inside table_for_each returned another value", step_);
        if (store) {
            if (it != model_.end())
                it->second.value = value;
            else
                model_[k] = {key, value, born_++};
        } else {
            model_.erase(k);
        }
    }

    void for_each() {
        const std::vector<Binding> order = expected_order();
        Visit v{this, {}, SIZE_MAX, in_.below(4), any_value(), in_.below(3) == 0};
        if (!order.empty() && in_.below(3) == 0)
            v.meddle_at = static_cast<size_t>(in_.below(static_cast<int>(order.size())));
        const uint32_t stamp = table_->stamp;
        const Exception *e = raised_by([&] { table_for_each(table_, apply, &v); });
        const size_t visits = v.meddle_at == SIZE_MAX ? order.size() : v.meddle_at + 1;
        if (v.meddle_at == SIZE_MAX ? e != nullptr : e != &assertion_failed)
            FAIL("step %d: table_for_each %s", step_,
                 e == nullptr ? "missed a change made by apply" : "raised unexpectedly");
        if (v.seen.size() != visits)
            FAIL("step %d: table_for_each made %zu visits, expected %zu", step_, v.seen.size(),
                 visits);
        for (size_t k = 0; k < visits; ++k) {
            if (v.seen[k].key != order[k].key || v.seen[k].value != order[k].value)
                FAIL("step %d: table_for_each visit %zu out of order", step_, k);
        }
        if (v.meddle_at == SIZE_MAX && table_->stamp != stamp)
            FAIL("step %d: table_for_each moved the stamp", step_);
    }

    void one_step() {
        const uint32_t stamp_before = table_->stamp;
        bool changes = false;
        switch (in_.below(8)) {
        case 0:
        case 1:
        case 2: {
            const void *key = any_key();
            void *value = any_value();
            auto it = model_.find(model_key(key));
            void *old = it == model_.end() ? nullptr : it->second.value;
            if (table_store(table_, key, value) != old)
                FAIL("step %d: table_store returned another old value", step_);
            if (it != model_.end())
                it->second.value = value;
            else
                model_[model_key(key)] = {key, value, born_++};
            changes = true;
            break;
        }
        case 3: {
            const void *key = any_key();
            auto it = model_.find(model_key(key));
            void *old = it == model_.end() ? nullptr : it->second.value;
            if (table_erase(table_, key) != old)
                FAIL("step %d: table_erase returned another value", step_);
            if (it != model_.end())
                model_.erase(it);
            changes = true;
            break;
        }
        case 4:
        case 5: {
            const void *key = any_key();
            auto it = model_.find(model_key(key));
            if (table_lookup(table_, key) != (it == model_.end() ? nullptr : it->second.value))
                FAIL("step %d: table_lookup", step_);
            break;
        }
        case 6: for_each(); return;
        default: check_order(); break;
        }
        if (table_->stamp != stamp_before + (changes ? 1u : 0u))
            FAIL("step %d: stamp %u after %u", step_, table_->stamp, stamp_before);
        if (table_count(table_) != static_cast<int32_t>(model_.size()))
            FAIL("step %d: table_count %d, model %zu", step_, table_count(table_), model_.size());
    }

    Input &in_;
    int step_ = 0;
    bool by_value_ = true;
    Table table_ = nullptr;
    std::map<intptr_t, Binding> model_;
    uint64_t born_ = 0;
};

// ---- Arrays

struct ModelArray {
    Array array;
    int32_t elem_size;
    std::vector<std::optional<std::string>> elems; // empty optional: undefined bytes
};

class ArrayRun {
  public:
    explicit ArrayRun(Input &in) : in_(in) {}

    void go() {
        for (step_ = 0; in_.more() && step_ < 300; ++step_) {
            one_step();
            for (const ModelArray &m : arrays_)
                check(m);
        }
        for (ModelArray &m : arrays_)
            array_destroy(&m.array);
    }

  private:
    void check(const ModelArray &m) {
        const Array a = m.array;
        const int32_t n = static_cast<int32_t>(m.elems.size());
        if (array_count(a) != n || array_elem_size(a) != m.elem_size)
            FAIL("step %d: array of %d x %d reads %d x %d", step_, n, m.elem_size, array_count(a),
                 array_elem_size(a));
        if ((a->elems == nullptr) != (n == 0))
            FAIL("step %d: storage of an array of %d elements is %p", step_, n, a->elems);
        for (int32_t i = 0; i < n; ++i) {
            const auto *at = static_cast<const char *>(array_at(a, i));
            if (at != static_cast<const char *>(a->elems) + int64_t{i} * m.elem_size)
                FAIL("step %d: array_at(%d) outside its place", step_, i);
            if (m.elems[static_cast<size_t>(i)] &&
                std::memcmp(at, m.elems[static_cast<size_t>(i)]->data(),
                            static_cast<size_t>(m.elem_size)) != 0)
                FAIL("step %d: element %d of %d changed", step_, i, n);
        }
    }

    int32_t count() { return in_.below(6) == 0 ? in_.below(200) : in_.below(12); }

    void one_step() {
        if (arrays_.empty() || (arrays_.size() < 4 && in_.below(8) == 0)) {
            const int32_t n = count();
            const int32_t size = 1 + in_.below(24);
            ModelArray m{array_create(n, size), size, {}};
            m.elems.assign(static_cast<size_t>(n), std::string(static_cast<size_t>(size), '\0'));
            arrays_.push_back(std::move(m));
            return;
        }
        ModelArray &m = arrays_[static_cast<size_t>(in_.below(static_cast<int>(arrays_.size())))];
        const int32_t n = static_cast<int32_t>(m.elems.size());
        switch (in_.below(6)) {
        case 0:
        case 1: { // store, sometimes out of range
            const int32_t i = in_.below(n + 4) - 2;
            std::string bytes(static_cast<size_t>(m.elem_size), '\0');
            for (char &c : bytes)
                c = static_cast<char>(in_.byte());
            const void *back = nullptr;
            const Exception *e = raised_by([&] { back = array_store(m.array, i, bytes.data()); });
            if (i < 0 || i >= n) {
                if (e != &assertion_failed)
                    FAIL("step %d: array_store(%d) of %d elements did not raise", step_, i, n);
                return;
            }
            if (e != nullptr || back != bytes.data())
                FAIL("step %d: array_store(%d)", step_, i);
            m.elems[static_cast<size_t>(i)] = bytes;
            return;
        }
        case 2: { // element access out of range
            const int32_t i = in_.below(2) ? -1 - in_.below(3) : n + in_.below(3);
            if (raised_by([&] { array_at(m.array, i); }) != &assertion_failed)
                FAIL("step %d: array_at(%d) of %d elements did not raise", step_, i, n);
            return;
        }
        case 3:
        case 4: { // resize
            const int32_t to = count();
            array_set_count(m.array, to);
            m.elems.resize(static_cast<size_t>(to)); // new ones are undefined
            return;
        }
        default: { // clone
            if (arrays_.size() >= 6)
                return;
            const int32_t to = count();
            ModelArray c{array_clone(m.array, to), m.elem_size, {}};
            for (int32_t i = 0; i < to; ++i)
                c.elems.push_back(i < n ? m.elems[static_cast<size_t>(i)]
                                        : std::string(static_cast<size_t>(m.elem_size), '\0'));
            if (c.array == m.array || (to > 0 && c.array->elems == m.array->elems))
                FAIL("step %d: array_clone shares storage", step_);
            arrays_.push_back(std::move(c));
            return;
        }
        }
    }

    Input &in_;
    int step_ = 0;
    std::vector<ModelArray> arrays_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (int k = 0; k < key_slots; ++k)
        key_pool[k] = k % 40;
    Input in{data, size};
    if (in.byte() % 2 == 0)
        TableRun(in).go();
    else
        ArrayRun(in).go();
    return 0;
}

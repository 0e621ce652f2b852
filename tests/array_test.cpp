// SPDX-License-Identifier: MIT

#include <lexspot/array.hpp>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/mman.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "failing_alloc.hpp"
#include "test_support.hpp"
#include <lexspot/assert.hpp>
#include <lexspot/mem.hpp>

namespace lexspot {
namespace {

// A test that leaves a block allocated fails.
[[maybe_unused]] const bool leak_check = failing_alloc::check_every_test_for_leaks();

std::vector<unsigned char> bytes_of(Array array) {
    const auto *p = static_cast<const unsigned char *>(array->elems);
    return std::vector<unsigned char>(p,
                                      p + static_cast<int64_t>(array->length) * array->elem_size);
}

// An array of `count` elements of `size` bytes, byte j of the storage holding
// `first` + j.
Array numbered(int32_t count, int32_t size, unsigned char first) {
    Array array = array_create(count, size);
    for (int32_t i = 0; i < count; ++i) {
        std::vector<unsigned char> elem(static_cast<size_t>(size));
        for (int32_t j = 0; j < size; ++j)
            elem[static_cast<size_t>(j)] = static_cast<unsigned char>(first + i * size + j);
        array_store(array, i, elem.data());
    }
    return array;
}

TEST(ArrayTest, CreateGivesZeroElementsOrNoStorage) {
    Array empty = array_create(0, 4);
    EXPECT_EQ(array_count(empty), 0);
    EXPECT_EQ(array_elem_size(empty), 4);
    EXPECT_EQ(empty->elems, nullptr);
    array_destroy(&empty);
    EXPECT_EQ(empty, nullptr);

    Array three = array_create(3, 4);
    EXPECT_EQ(array_count(three), 3);
    EXPECT_EQ(array_elem_size(three), 4);
    EXPECT_EQ(bytes_of(three), std::vector<unsigned char>(12, 0));
    for (int32_t i = 0; i < 3; ++i)
        EXPECT_EQ(array_at(three, i), static_cast<unsigned char *>(three->elems) + 4 * i);
    array_destroy(&three);
    EXPECT_EQ(three, nullptr);
}

TEST(ArrayTest, InitDescribesCallerStorage) {
    unsigned char storage[6] = {1, 2, 3, 4, 5, 6};
    ArrayRecord record{};
    array_init(&record, 3, 2, storage);
    EXPECT_EQ(array_count(&record), 3);
    EXPECT_EQ(array_elem_size(&record), 2);
    EXPECT_EQ(array_at(&record, 2), storage + 4);
    const unsigned char elem[2] = {9, 8};
    EXPECT_EQ(array_store(&record, 1, elem), elem);
    EXPECT_THAT(storage, testing::ElementsAre(1, 2, 9, 8, 5, 6));

    array_init(&record, 0, 5, nullptr);
    EXPECT_EQ(record.length, 0);
    EXPECT_EQ(record.elem_size, 5);
    EXPECT_EQ(record.elems, nullptr);
}

// Offsets are 64-bit: an element far past 4 GiB is addressed exactly. Nothing
// is dereferenced, so the storage need not exist. Where pointers are 32-bit
// such storage cannot exist, and a record that claims it is refused.
TEST(ArrayTest, OffsetsAreSixtyFourBit) {
    ArrayRecord record{};
    auto *base = reinterpret_cast<unsigned char *>(uintptr_t{0x10000});
    if constexpr (sizeof(void *) < 8) {
        struct Case {
            int32_t count, elem_size;
        };
        // Just past PTRDIFF_MAX, and 2^40 bytes, which 32 bits wrap to 0.
        for (const Case c : {Case{1 << 16, 1 << 15}, Case{1 << 20, 1 << 20}}) {
            SCOPED_TRACE(testing::Message() << c.count << " x " << c.elem_size);
            ExceptionFrame f = raised_by([&] { array_init(&record, c.count, c.elem_size, base); });
            EXPECT_EQ(f.exception, &assertion_failed);
            EXPECT_STREQ(f.file, "src/array.cpp");
            EXPECT_EQ(record.elems, nullptr);
        }
        // PTRDIFF_MAX bytes are still storage.
        array_init(&record, INT32_MAX, 1, base);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(array_at(&record, INT32_MAX - 1)),
                  0x10000 + uintptr_t{INT32_MAX} - 1);
    } else {
        array_init(&record, INT32_MAX, 1 << 20, base);
        const uint64_t expected = 0x10000 + (uint64_t{INT32_MAX} - 1) * (uint64_t{1} << 20);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(array_at(&record, INT32_MAX - 1)), expected);
    }
}

// The same for a store, which must write the element where it lies and not at
// a 32-bit offset wrapped past 4 GiB. The storage is a reservation of which
// only the touched pages are ever backed.
TEST(ArrayTest, StoreReachesElementsPastFourGiB) {
    if constexpr (sizeof(void *) < 8)
        GTEST_SKIP() << "a " << sizeof(void *) * 8 << "-bit address space has nothing past 4 GiB";
    constexpr int32_t size = 4096, index = (1 << 20) + 1; // offset 2^32 + 4096
    const auto bytes = static_cast<size_t>((uint64_t{index} + 1) * size);
    void *reserved = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED)
        GTEST_SKIP() << "no room to reserve " << bytes << " bytes";
    auto *base = static_cast<unsigned char *>(reserved);
    ArrayRecord record{};
    array_init(&record, index + 1, size, base);
    const std::vector<unsigned char> elem(size, 0x5A);
    EXPECT_EQ(array_store(&record, index, elem.data()), elem.data());
    unsigned char *const at = base + uint64_t{index} * size;
    EXPECT_EQ(array_at(&record, index), at);
    EXPECT_EQ(std::memcmp(at, elem.data(), size), 0);
    EXPECT_EQ(base[size], 0); // where the wrapped offset would have landed
    munmap(reserved, bytes);
}

TEST(ArrayTest, StoreReturnsTheSourcePointer) {
    Array array = array_create(2, 3);
    const unsigned char elem[3] = {7, 8, 9};
    EXPECT_EQ(array_store(array, 1, elem), static_cast<const void *>(elem));
    EXPECT_EQ(bytes_of(array), (std::vector<unsigned char>{0, 0, 0, 7, 8, 9}));
    array_destroy(&array);
}

TEST(ArrayTest, SetCountResizesExactly) {
    Array array = numbered(2, 4, 1);
    array_set_count(array, 5);
    EXPECT_EQ(array_count(array), 5);
    EXPECT_EQ(std::memcmp(array->elems, "\1\2\3\4\5\6\7\10", 8), 0);
    array_set_count(array, 1);
    EXPECT_EQ(bytes_of(array), (std::vector<unsigned char>{1, 2, 3, 4}));
    array_set_count(array, 0); // frees the storage (the sanitizer build checks)
    EXPECT_EQ(array_count(array), 0);
    EXPECT_EQ(array->elems, nullptr);
    array_set_count(array, 0);
    EXPECT_EQ(array->elems, nullptr);
    array_set_count(array, 2); // fresh storage
    EXPECT_EQ(array_count(array), 2);
    EXPECT_NE(array->elems, nullptr);
    EXPECT_EQ(array_elem_size(array), 4);
    array_destroy(&array);
}

TEST(ArrayTest, CloneCopiesLeadingElementsAndZeroFills) {
    Array source = numbered(3, 4, 1);
    const struct {
        int32_t count;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0, 0, 0, 0, 0}},
        {3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {2, {1, 2, 3, 4, 5, 6, 7, 8}},
        {0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        Array copy = array_clone(source, c.count);
        EXPECT_EQ(array_count(copy), c.count);
        EXPECT_EQ(array_elem_size(copy), 4);
        EXPECT_EQ(copy->elems == nullptr, c.count == 0);
        EXPECT_NE(copy->elems, source->elems);
        EXPECT_EQ(bytes_of(copy), c.bytes);
        array_destroy(&copy);
    }
    Array empty = array_create(0, 2);
    Array copy = array_clone(empty, 2);
    EXPECT_EQ(bytes_of(copy), (std::vector<unsigned char>{0, 0, 0, 0}));
    array_destroy(&copy);
    array_destroy(&empty);
    array_destroy(&source);
}

// Each failed precondition raises in the stated module, in the stated order,
// and nothing changes (nor leaks: the sanitizer build checks) before it.
TEST(ArrayTest, PreconditionsRaiseInTheirModule) {
    Array array = numbered(2, 4, 1);
    Array empty = array_create(0, 4);
    Array null_array = nullptr;
    ArrayRecord record{};
    unsigned char storage[8] = {};
    const unsigned char elem[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    struct Case {
        const char *check; // cases naming the same check fail at the same line
        const char *file;
        std::function<void()> call;
    };
    const char *array_cpp = "src/array.cpp";
    const Case cases[] = {
        // array_create: a positive count with a bad size fails in src/mem first
        {"mem size", "src/mem.cpp", [] { array_create(2, 0); }},
        {"mem size", "src/mem.cpp", [] { array_create(1, -4); }},
        {"storage", array_cpp, [] { array_create(-1, 4); }},
        {"storage", array_cpp, [] { array_create(-1, 0); }},
        {"storage", array_cpp, [] { array_create(INT32_MIN, INT32_MIN); }},
        {"size", array_cpp, [] { array_create(0, 0); }},
        {"size", array_cpp, [] { array_create(0, -1); }},
        // array_init
        {"init record", array_cpp, [&] { array_init(nullptr, 2, 4, storage); }},
        {"init record", array_cpp, [] { array_init(nullptr, -1, 0, nullptr); }},
        {"storage", array_cpp, [&] { array_init(&record, 2, 4, nullptr); }},
        {"storage", array_cpp, [&] { array_init(&record, 0, 4, storage); }},
        {"storage", array_cpp, [&] { array_init(&record, -1, 4, storage); }},
        {"storage", array_cpp, [&] { array_init(&record, -1, 0, nullptr); }},
        {"size", array_cpp, [&] { array_init(&record, 2, 0, storage); }},
        {"size", array_cpp, [&] { array_init(&record, 0, -7, nullptr); }},
        // the rest
        {"destroy address", array_cpp, [] { array_destroy(nullptr); }},
        {"destroy handle", array_cpp, [&] { array_destroy(&null_array); }},
        {"count array", array_cpp, [] { array_count(nullptr); }},
        {"elem_size array", array_cpp, [] { array_elem_size(nullptr); }},
        {"at array", array_cpp, [] { array_at(nullptr, 0); }},
        {"at index", array_cpp, [&] { array_at(array, -1); }},
        {"at index", array_cpp, [&] { array_at(array, 2); }},
        {"at index", array_cpp, [&] { array_at(array, INT32_MIN); }},
        {"at index", array_cpp, [&] { array_at(empty, 0); }},
        {"store array", array_cpp, [&] { array_store(nullptr, -1, nullptr); }},
        {"store index", array_cpp, [&] { array_store(array, 2, elem); }},
        {"store index", array_cpp, [&] { array_store(array, -1, nullptr); }},
        {"store index", array_cpp, [&] { array_store(empty, 0, elem); }},
        {"store elem", array_cpp, [&] { array_store(array, 1, nullptr); }},
        {"set_count array", array_cpp, [] { array_set_count(nullptr, -1); }},
        {"set_count count", array_cpp, [&] { array_set_count(array, -1); }},
        {"set_count count", array_cpp, [&] { array_set_count(empty, INT32_MIN); }},
        {"clone array", array_cpp, [] { array_clone(nullptr, -1); }},
        {"clone count", array_cpp, [&] { array_clone(array, -1); }},
    };
    std::unordered_map<std::string, int32_t> line_of;
    std::unordered_map<std::string, std::string> check_at; // "file:line" to check
    for (const Case &c : cases) {
        SCOPED_TRACE(c.check);
        ExceptionFrame f = raised_by(c.call);
        EXPECT_EQ(f.exception, &assertion_failed);
        EXPECT_STREQ(f.file, c.file);
        auto [seen, fresh] = line_of.emplace(c.check, f.line);
        EXPECT_EQ(seen->second, f.line) << "one check, one line";
        if (fresh) {
            EXPECT_TRUE(
                check_at.emplace(std::string(c.file) + ":" + std::to_string(f.line), c.check)
                    .second)
                << "two checks at one line";
        }
    }
    EXPECT_EQ(record.length, 0);
    EXPECT_EQ(record.elems, nullptr);
    EXPECT_EQ(array_count(array), 2);
    EXPECT_EQ(array_count(empty), 0);
    EXPECT_EQ(bytes_of(array), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8}));
    array_destroy(&empty);
    array_destroy(&array);
}

TEST(ArrayTest, DestroyNullsTheHandleAndRefusesASecondTime) {
    Array array = array_create(4, 8);
    array_destroy(&array);
    EXPECT_EQ(array, nullptr);
    ExceptionFrame f = raised_by([&] { array_destroy(&array); });
    EXPECT_EQ(f.exception, &assertion_failed);
    EXPECT_STREQ(f.file, "src/array.cpp");
}

// A request far beyond the machine raises `allocation_failed` at src/array and
// leaves the array as it was, whether it had storage or not.
TEST(ArrayTest, SetCountExhaustionLeavesArrayUnchanged) {
    Array empty = array_create(0, INT32_MAX);
    ExceptionFrame f = raised_by([&] { array_set_count(empty, INT32_MAX); });
    EXPECT_EQ(f.exception, &allocation_failed);
    EXPECT_STREQ(f.file, "src/array.cpp");
    EXPECT_EQ(array_count(empty), 0);
    EXPECT_EQ(empty->elems, nullptr);
    array_destroy(&empty);

    Array array = numbered(3, 1 << 16, 5);
    const std::vector<unsigned char> before = bytes_of(array);
    void *storage = array->elems;
    f = raised_by([&] { array_set_count(array, INT32_MAX); });
    EXPECT_EQ(f.exception, &allocation_failed);
    EXPECT_STREQ(f.file, "src/array.cpp");
    EXPECT_EQ(array_count(array), 3);
    EXPECT_EQ(array->elems, storage);
    EXPECT_EQ(bytes_of(array), before);
    array_destroy(&array);

    // A clone too large fails the same way and leaks nothing.
    Array wide = array_create(0, INT32_MAX);
    f = raised_by([&] { array_clone(wide, INT32_MAX); });
    EXPECT_EQ(f.exception, &allocation_failed);
    EXPECT_STREQ(f.file, "src/array.cpp");
    array_destroy(&wide);
}

// Creation asks for the record first, then for the storage, and tests its
// arguments last: exhaustion at the first request is reported at the record's
// request whatever the arguments, and every failure leaves nothing allocated
// (the sanitizer build checks).
TEST(ArrayTest, CreateRequestsTheRecordFirst) {
    // An empty array makes one request, for its record.
    const ExceptionFrame record = raised_when_request_refused(1, [] { array_create(0, 4); });
    EXPECT_EQ(record.exception, &allocation_failed);
    EXPECT_STREQ(record.file, "src/array.cpp");
    const ExceptionFrame storage = raised_when_request_refused(2, [] { array_create(2, 4); });
    EXPECT_EQ(storage.exception, &allocation_failed);
    EXPECT_STREQ(storage.file, "src/array.cpp");
    EXPECT_NE(storage.line, record.line);

    const struct {
        int32_t count, size;
    } arguments[] = {{2, 4}, {1, 1}, {2, 0}, {1, -4}, {-1, 4}, {0, 0}, {INT32_MIN, INT32_MIN}};
    for (const auto &a : arguments) {
        SCOPED_TRACE(testing::Message() << a.count << ", " << a.size);
        ExceptionFrame f = raised_when_request_refused(1, [&] { array_create(a.count, a.size); });
        EXPECT_EQ(f.exception, &allocation_failed);
        EXPECT_STREQ(f.file, "src/array.cpp");
        EXPECT_EQ(f.line, record.line);
    }

    // A clone makes the same requests in the same order.
    Array source = numbered(2, 4, 1);
    ExceptionFrame f = raised_when_request_refused(1, [&] { array_clone(source, 3); });
    EXPECT_EQ(f.exception, &allocation_failed);
    EXPECT_EQ(f.line, record.line);
    f = raised_when_request_refused(2, [&] { array_clone(source, 3); });
    EXPECT_EQ(f.exception, &allocation_failed);
    EXPECT_EQ(f.line, storage.line);
    EXPECT_EQ(bytes_of(source), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8}));
    array_destroy(&source);
}

// Every resize refused at each of its requests: an array that grows from
// nothing or from some elements, shrinks, or is created or cloned. Each
// raises at src/array, leaves the array as it was (storage address and bytes
// included) and leaves nothing allocated.
TEST(ArrayTest, RefusedResizeLeavesArrayAsItWas) {
    const struct {
        const char *what;
        int32_t count;    // elements before the operation
        int32_t requests; // what the operation asks the allocator for
        std::function<void(Array)> operation;
    } cases[] = {
        {"grow from empty", 0, 1, [](Array a) { array_set_count(a, 4); }},
        {"grow by one", 3, 1, [](Array a) { array_set_count(a, 4); }},
        {"grow a lot", 3, 1, [](Array a) { array_set_count(a, 5000); }},
        {"shrink", 5, 1, [](Array a) { array_set_count(a, 2); }},
        {"clone", 3, 2,
         [](Array a) {
             Array copy = array_clone(a, 4);
             array_destroy(&copy);
         }},
        {"clone to empty", 3, 1,
         [](Array a) {
             Array copy = array_clone(a, 0);
             array_destroy(&copy);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Array array = numbered(c.count, 3, 7);
        const std::vector<unsigned char> bytes = bytes_of(array);
        void *const storage = array->elems;
        const int64_t live = failing_alloc::live_blocks();
        bool done = false;
        const int32_t made = failing_alloc::with_each_request_refused([&] {
            ASSERT_FALSE(done) << "the unrefused operation ran already";
            ExceptionFrame f = raised_by([&] { c.operation(array); });
            if (f.exception == nullptr) {
                done = true;
                return;
            }
            EXPECT_EQ(f.exception, &allocation_failed);
            EXPECT_STREQ(f.file, "src/array.cpp");
            EXPECT_EQ(array_count(array), c.count);
            EXPECT_EQ(array->elem_size, 3);
            EXPECT_EQ(array->elems, storage);
            EXPECT_EQ(bytes_of(array), bytes);
            EXPECT_EQ(failing_alloc::live_blocks(), live);
        });
        EXPECT_EQ(made, c.requests);
        EXPECT_TRUE(done);
        array_destroy(&array);
        EXPECT_EQ(failing_alloc::live_blocks(), live - (c.count > 0 ? 2 : 1));
    }
}

TEST(ArrayDeathTest, UncaughtIndexFailureIsReported) {
    Array array = array_create(1, 1);
    ExceptionFrame f = raised_by([&] { array_at(array, 1); });
    const std::string report =
        "Uncaught exception Assertion failed raised at src/array.cpp:" + std::to_string(f.line) +
        "\naborting...\n";
    EXPECT_EXIT(array_at(array, 1), testing::KilledBySignal(SIGABRT),
                abort_report(testing::Eq(report)));
    array_destroy(&array);
}

// --- Randomized comparison with a model

// A few thousand random resizes, stores, reads and clones per element size,
// against a byte vector. Bytes added by a resize are undefined until stored,
// so the model tracks which elements hold known bytes.
TEST(ArrayTest, RandomOperationsMatchModel) {
    std::mt19937 rng(5021);
    for (int32_t size : {1, 3, 8, 13}) {
        SCOPED_TRACE(size);
        const auto width = static_cast<size_t>(size);
        Array array = array_create(0, size);
        std::vector<std::byte> model;
        std::vector<bool> known;
        auto check_all = [&](Array a) {
            ASSERT_EQ(array_count(a), static_cast<int32_t>(known.size()));
            ASSERT_EQ(array_elem_size(a), size);
            ASSERT_EQ(a->elems == nullptr, known.empty());
            for (size_t i = 0; i < known.size(); ++i) {
                if (known[i]) {
                    ASSERT_EQ(
                        std::memcmp(array_at(a, static_cast<int32_t>(i)), &model[i * width], width),
                        0)
                        << "element " << i;
                }
            }
        };
        for (int32_t step = 0; step < 3000; ++step) {
            const uint32_t op = rng() % 20;
            const auto count = static_cast<int32_t>(known.size());
            if (op < 5) {
                // Grow by one as the driver does, or jump to any count up to 40.
                const int32_t n = op < 3 ? count + 1 : static_cast<int32_t>(rng() % 41);
                array_set_count(array, n);
                model.resize(static_cast<size_t>(n) * width);
                known.resize(static_cast<size_t>(n), false);
            } else if (op < 12 && count > 0) {
                const auto i = static_cast<int32_t>(rng() % static_cast<uint32_t>(count));
                std::vector<std::byte> elem(width);
                for (std::byte &b : elem)
                    b = static_cast<std::byte>(rng());
                ASSERT_EQ(array_store(array, i, elem.data()), elem.data());
                std::copy(elem.begin(), elem.end(), model.begin() + i * size);
                known[static_cast<size_t>(i)] = true;
            } else if (op < 17 && count > 0) {
                const auto i = static_cast<int32_t>(rng() % static_cast<uint32_t>(count));
                auto *p = static_cast<unsigned char *>(array_at(array, i));
                ASSERT_EQ(p, static_cast<unsigned char *>(array->elems) + i * size);
                if (known[static_cast<size_t>(i)]) {
                    ASSERT_EQ(std::memcmp(p, &model[static_cast<size_t>(i) * width], width), 0);
                }
            } else if (op < 20) {
                // Clone to any count; the copy's unknown elements read as zero,
                // and half the time the copy replaces the original.
                const auto n = static_cast<int32_t>(rng() % 41);
                Array copy = array_clone(array, n);
                std::vector<std::byte> copied(static_cast<size_t>(n) * width);
                for (size_t i = 0; i < std::min(known.size(), static_cast<size_t>(n)); ++i)
                    if (known[i])
                        std::copy_n(&model[i * width], width, &copied[i * width]);
                ASSERT_EQ(array_count(copy), n);
                ASSERT_EQ(copy->elems == nullptr, n == 0);
                for (int32_t i = 0; i < n; ++i) {
                    const auto u = static_cast<size_t>(i);
                    if (u >= known.size() || known[u]) {
                        ASSERT_EQ(std::memcmp(array_at(copy, i), &copied[u * width], width), 0)
                            << "clone element " << i;
                    }
                }
                if (rng() % 2 == 0) {
                    array_destroy(&array);
                    array = copy;
                    model = copied;
                    std::vector<bool> copied_known(static_cast<size_t>(n), true);
                    for (size_t i = 0; i < std::min(known.size(), copied_known.size()); ++i)
                        copied_known[i] = known[i];
                    known = copied_known;
                } else {
                    array_destroy(&copy);
                }
            }
            check_all(array);
            if (testing::Test::HasFatalFailure())
                return;
        }
        array_destroy(&array);
    }
}

} // namespace
} // namespace lexspot

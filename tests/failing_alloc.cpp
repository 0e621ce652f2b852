// SPDX-License-Identifier: MIT

// The allocation shim: with the link options of the `failing_alloc` library
// (tests/CMakeLists.txt), every malloc, calloc, realloc and free call made by
// the library or the test code of a binary comes here. Calls from shared
// libraries (the C++ runtime's own allocations) are not wrapped: they never
// fail and are not counted.
#include "failing_alloc.hpp"

#include <cstdlib>

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" void *__real_realloc(void *block, size_t size);
extern "C" void __real_free(void *block);

namespace failing_alloc {

int32_t countdown = 0;
int64_t refused_size = 0;

namespace {

// True when the request being made, for `size` bytes, is the one chosen to
// fail.
bool refuse(size_t size) {
    if (countdown == 0 || --countdown != 0)
        return false;
    refused_size = static_cast<int64_t>(size);
    return true;
}

// The blocks the wrapped calls handed out and that are not yet freed: an
// open-addressing set with linear probing, deleted by shifting back, so that
// a free of a block obtained elsewhere (gtest frees what libc's strdup made)
// is told apart and not counted. It never allocates.
constexpr int set_bits = 20;
constexpr size_t set_size = size_t{1} << set_bits;
void *blocks[set_size];
int64_t live = 0;

size_t slot_of(const void *block) {
    const uint64_t mixed = (reinterpret_cast<uintptr_t>(block) >> 4) * UINT64_C(0x9e3779b97f4a7c15);
    return static_cast<size_t>(mixed >> (64 - set_bits));
}

void insert(void *block) {
    if (block == nullptr)
        return;
    if (live >= static_cast<int64_t>(set_size / 4 * 3))
        std::abort(); // more live blocks than any test should hold
    size_t i = slot_of(block);
    while (blocks[i] != nullptr)
        i = (i + 1) % set_size;
    blocks[i] = block;
    ++live;
}

// Removes `block` if the set holds it; returns whether it did.
bool remove(const void *block) {
    if (block == nullptr)
        return false;
    size_t i = slot_of(block);
    while (blocks[i] != block) {
        if (blocks[i] == nullptr)
            return false;
        i = (i + 1) % set_size;
    }
    // Shift back every later entry of the run that may no longer be found.
    for (size_t j = (i + 1) % set_size; blocks[j] != nullptr; j = (j + 1) % set_size) {
        const size_t home = slot_of(blocks[j]);
        const bool must_move = i <= j ? (home <= i || home > j) : (home <= i && home > j);
        if (must_move) {
            blocks[i] = blocks[j];
            i = j;
        }
    }
    blocks[i] = nullptr;
    --live;
    return true;
}

class LeakCheck : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { at_start_ = live; }
    void OnTestEnd(const testing::TestInfo &) override {
        EXPECT_EQ(live, at_start_) << "blocks allocated at the end of the test and at its start";
    }
    int64_t at_start_ = 0;
};

} // namespace

int64_t live_blocks() {
    return live;
}

bool check_every_test_for_leaks() {
    testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
    return true;
}

} // namespace failing_alloc

using failing_alloc::refuse;

extern "C" void *__wrap_malloc(size_t size) {
    void *block = refuse(size) ? nullptr : __real_malloc(size);
    failing_alloc::insert(block);
    return block;
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
    void *block = refuse(count * size) ? nullptr : __real_calloc(count, size);
    failing_alloc::insert(block);
    return block;
}

// A resize that succeeds replaces the old block with the new one; a failed
// one leaves the old block allocated.
extern "C" void *__wrap_realloc(void *block, size_t size) {
    void *resized = refuse(size) ? nullptr : __real_realloc(block, size);
    if (resized != nullptr && (block == nullptr || failing_alloc::remove(block)))
        failing_alloc::insert(resized);
    return resized;
}

extern "C" void __wrap_free(void *block) {
    failing_alloc::remove(block);
    __real_free(block);
}

// SPDX-License-Identifier: MIT

// A growable array of plain values in one block from the checked allocator,
// for the bookkeeping of lexspot-parallel: exhaustion raises
// `allocation_failed` at the caller's location, as everywhere in the system.
//
// The buffer owns its block and frees it when it ends; it is moved, never
// copied. Elements are trivially copyable and are moved as bytes when the
// block grows, which doubles its capacity. Pointers into it are valid until
// the next operation that grows it.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include <lexspot/assert.hpp>
#include <lexspot/mem.hpp>

namespace lexspot {

template <typename T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    Buffer() = default;
    Buffer(Buffer &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer &operator=(Buffer &&other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { mem_release(data_); }

    T *data() { return data_; }
    const T *data() const { return data_; }
    int64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &operator[](int64_t i) { return data_[i]; }
    const T &operator[](int64_t i) const { return data_[i]; }
    T &back() { return data_[size_ - 1]; }

    // Makes room for `count` elements in all, keeping the contents.
    void reserve(int64_t count, const char *file = __builtin_FILE(),
                 int32_t line = __builtin_LINE()) {
        if (count <= capacity_)
            return;
        int64_t capacity = capacity_ > 0 ? capacity_ : 16;
        while (capacity < count)
            capacity *= 2;
        const int64_t bytes = capacity * static_cast<int64_t>(sizeof(T));
        data_ = static_cast<T *>(data_ == nullptr ? mem_allocate(bytes, file, line)
                                                  : mem_reallocate(data_, bytes, file, line));
        capacity_ = capacity;
    }

    // Sets the size to `count`; new elements are undefined.
    void resize(int64_t count, const char *file = __builtin_FILE(),
                int32_t line = __builtin_LINE()) {
        assert_require(count >= 0);
        reserve(count, file, line);
        size_ = count;
    }

    void clear() { size_ = 0; }

    void push_back(const T &value, const char *file = __builtin_FILE(),
                   int32_t line = __builtin_LINE()) {
        reserve(size_ + 1, file, line);
        data_[size_++] = value;
    }

    // Appends `count` elements copied from `values`, which must not point
    // into this buffer.
    void append(const T *values, int64_t count, const char *file = __builtin_FILE(),
                int32_t line = __builtin_LINE()) {
        if (count == 0)
            return;
        reserve(size_ + count, file, line);
        assert_require(data_ != nullptr); // reserve allocates for any count > 0
        std::memcpy(data_ + size_, values, static_cast<size_t>(count) * sizeof(T));
        size_ += count;
    }

  private:
    T *data_ = nullptr;
    int64_t size_ = 0;
    int64_t capacity_ = 0;
};

} // namespace lexspot

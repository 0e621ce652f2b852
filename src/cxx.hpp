// SPDX-License-Identifier: MIT

// C++ over the library: raises as C++ exceptions, owners that free what the
// library hands out, and texts as string views.
//
// Everything here is inline or a template over the other headers' interface:
// including this header adds no symbol to the library and no dependency
// beyond the C++ standard library.
//
// Raises and C++ exceptions. A raise goes to the innermost handler frame, and
// with no frame established it writes the uncaught-exception report and
// aborts: a C++ `catch` alone never sees it. `throwing` runs a callable under
// a frame of its own and throws a raise that reaches that frame as an
// `Error`, which a `catch` does see:
//
//     try {
//         throwing(mp_from_unsigned, v, uint64_t{1} << 40);
//     } catch (const Error &e) {
//         if (e.exception() != &mp_overflow)
//             throw;
//         std::fprintf(stderr, "%s\n", e.what()); // "Overflow raised at src/mp.cpp:263"
//     }
//
// Owners. `MemOwner`, `TableOwner` and `ArrayOwner` free a block, a table or
// an array when they end, and `TextMarkScope` releases the string space to
// the mark it took. A raise to a frame unwinds the C++ stack on its way
// (except.hpp), so they free on the raising path as on the normal one, also
// under `throwing` and under EXCEPTION_TRY. An uncaught raise aborts the
// process and frees nothing.
//
// Texts. `text_view` shows a Text as a std::string_view without copying;
// `text_from_view` copies a view's characters into string space.
//
// A failed precondition here raises `assertion_failed` located in this
// header, under the path by which the compiler found it.
//
// The process is single-threaded, as the library is: nothing here is locked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "array.hpp"
#include "assert.hpp"
#include "except.hpp"
#include "mem.hpp"
#include "table.hpp"
#include "text.hpp"

namespace lexspot {

// ---- Raises as C++ exceptions

// What was raised, as a C++ exception: the exception record and the place
// given to the raise, copied from the frame that caught it.
//
// An Error keeps the record's address and the path as pointers, so it
// assumes that both outlive it. They do in practice: exceptions are records
// of static lifetime (assert_raise refuses a temporary), and paths are
// string literals (`__FILE__`, `__builtin_FILE()`). The message is copied.
class Error : public std::runtime_error {
  public:
    // Requires frame.exception not null, as every frame that a raise filled
    // in has.
    explicit Error(const ExceptionFrame &frame)
        : std::runtime_error(describe(frame)), exception_(frame.exception), file_(frame.file),
          line_(frame.line) {}

    // The record raised; compare by address: `e.exception() == &mp_overflow`.
    const Exception *exception() const noexcept { return exception_; }
    // The path given to the raise; may be null.
    const char *file() const noexcept { return file_; }
    // The line given to the raise; may be 0 or less.
    int32_t line() const noexcept { return line_; }

    // what(): the reason and the place in the words of the uncaught-exception
    // report, "Overflow raised at src/mp.cpp:263". A null reason is written
    // as the report writes it, "at 0x" followed by `%p` of the record's
    // address; with a null path or a line of 0 or less there is no
    // " raised at" part.

  private:
    static std::string describe(const ExceptionFrame &frame) {
        assert_require(frame.exception != nullptr);
        std::string message;
        if (frame.exception->reason != nullptr) {
            message = frame.exception->reason;
        } else {
            char address[64];
            std::snprintf(address, sizeof address, "at 0x%p",
                          static_cast<const void *>(frame.exception));
            message = address;
        }
        if (frame.file != nullptr && frame.line > 0) {
            message += " raised at ";
            message += frame.file;
            message += ':';
            message += std::to_string(frame.line);
        }
        return message;
    }

    const Exception *exception_;
    const char *file_;
    int32_t line_;
};

// Calls f(args...) (through std::invoke) under a handler frame of its own and
// returns what it returns, a reference or void included. A raise that
// reaches that frame is thrown as `Error`.
//
// Frames established inside f still catch first, and a raise from a handler
// inside f goes on outward as usual, to this frame when no frame of f's is
// left. A raise from a callback that the library calls inside f (a
// `table_for_each` apply function, a conversion routine) reaches the frame
// like any other. A C++ exception thrown by f passes through unchanged, and
// so does one thrown by such a callback: the library frees what it holds on
// the way and leaves its objects whole (fmt.hpp and table.hpp say how). On
// every way out the frame is off the stack again. A raise inside a
// destructor or a `noexcept` function still ends the process (except.hpp).
//
// f is called through a pointer when it is a function, and default
// arguments do not pass through a pointer: the operations whose location
// parameters default to the call site (`mem_allocate`, `assert_require`, ...)
// need a lambda, `throwing([] { return mem_allocate(64); })`.
template <typename F, typename... Args>
decltype(auto) throwing(F &&f, Args &&...args) {
    ExceptionScope scope;
    try {
        return std::invoke(std::forward<F>(f), std::forward<Args>(args)...);
    } catch (const ExceptionScope::Transfer &transfer) {
        // A transfer meant for an outer frame is thrown on by claim().
        throw Error(scope.claim(transfer));
    }
}

// ---- Owners of what the library hands out

// The deleter of a block from `mem_allocate`, `mem_allocate_zeroed`,
// `mem_reallocate`, `fmt_alloc`, `text_to_cstr` (without a buffer) or
// `table_to_pairs`.
struct MemRelease {
    void operator()(void *block) const noexcept { mem_release(block); }
};

// A block owned as a std::unique_ptr, released with `mem_release`:
//     MemOwner<char> str(fmt_alloc("%d", 42));
template <typename T>
using MemOwner = std::unique_ptr<T, MemRelease>;

// The owner of one handle that `destroy` frees; TableOwner and ArrayOwner
// below. Move-only; a null handle owns nothing.
template <typename Handle, void (*destroy)(Handle *)>
class HandleOwner {
  public:
    // Takes ownership of `handle`, which may be null.
    explicit HandleOwner(Handle handle) noexcept : handle_(handle) {}
    ~HandleOwner() { reset(); }

    HandleOwner(HandleOwner &&other) noexcept : handle_(other.release()) {}
    HandleOwner &operator=(HandleOwner &&other) noexcept {
        reset(other.release());
        return *this;
    }
    HandleOwner(const HandleOwner &) = delete;
    HandleOwner &operator=(const HandleOwner &) = delete;

    // The handle, still owned.
    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // Gives up ownership: returns the handle and owns nothing.
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, nullptr); }

    // Frees the handle owned, if any, and takes ownership of `handle`.
    void reset(Handle handle = nullptr) noexcept {
        if (Handle old = std::exchange(handle_, handle); old != nullptr)
            destroy(&old);
    }

  private:
    Handle handle_;
};

// Owns a Table; `table_destroy` at the end. Keys and values stay the
// client's, as with table_destroy itself.
class TableOwner : public HandleOwner<Table, table_destroy> {
  public:
    using HandleOwner::HandleOwner;
};

// Owns an Array from `array_create` or `array_clone`; `array_destroy` at the
// end. Not for a record filled by `array_init`, which the library never frees.
class ArrayOwner : public HandleOwner<Array, array_destroy> {
  public:
    using HandleOwner::HandleOwner;
};

// Takes a `text_mark` when constructed and releases the string space to it
// when it ends: every Text made in string space while it lives is invalid
// afterwards. Scopes nest as blocks do. No mark taken before the scope may be
// released while it lives, since that frees the scope's mark too.
class TextMarkScope {
  public:
    [[nodiscard]] TextMarkScope() : mark_(text_mark()) {}
    ~TextMarkScope() { text_release(&mark_); }
    TextMarkScope(const TextMarkScope &) = delete;
    TextMarkScope &operator=(const TextMarkScope &) = delete;

  private:
    TextMark *mark_;
};

// ---- Texts and string views

// A view of s's characters, nothing copied: valid while they are (for a Text
// in string space, until the string space is released to a mark taken before
// it). Requires s valid.
inline std::string_view text_view(Text s) {
    assert_require(s.len >= 0 && s.str != nullptr);
    return {s.str, static_cast<size_t>(s.len)};
}

// A Text of the view's characters, copied into string space; an empty view
// takes no space. Requires view.size() <= INT32_MAX. A view that starts with
// a NUL takes one byte of string space more than its length, and then
// requires view.size() < INT32_MAX (`assertion_failed` at src/text).
inline Text text_from_view(std::string_view view) {
    assert_require(view.size() <= INT32_MAX);
    if (view.empty())
        return text_from_cstr("");
    // text_from_cstr takes a character at the allocation point, and
    // text_concat then extends it in place with the rest (or copies both into
    // a new chunk): each character is copied once. A leading NUL cannot come
    // from text_from_cstr, so a placeholder goes first and is cut off.
    const bool lead_is_nul = view.front() == '\0';
    const char lead[2] = {lead_is_nul ? '_' : view.front(), '\0'};
    const std::string_view rest = lead_is_nul ? view : view.substr(1);
    const Text copy =
        text_concat(text_from_cstr(lead), text_wrap(rest.data(), static_cast<int>(rest.size())));
    return lead_is_nul ? text_slice(copy, 2, 0) : copy;
}

} // namespace lexspot

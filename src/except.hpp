// SPDX-License-Identifier: MIT

// Exceptions raised with a source location.
//
// An exception is a constant `Exception` record with static lifetime; it is
// identified by its address, never by its reason. `raise_exception` hands the
// exception and the place it was raised at to the innermost handler frame on
// `exception_stack`. With no frame established it writes the uncaught-exception
// report on standard error and aborts.
//
// Frames are established by `ExceptionScope`, through the EXCEPTION_TRY /
// EXCEPTION_HANDLER / EXCEPTION_END macros:
//
//     EXCEPTION_TRY {
//         if (done) return;             // any way out of the block pops the frame
//         work();                       // may raise
//     } EXCEPTION_HANDLER(frame) {      // frame: const ExceptionFrame &
//         if (frame.exception != &mp_overflow)
//             exception_reraise(frame); // on to the next outer frame
//         recover();
//     } EXCEPTION_END
//
// The raise fills in the frame, pops it and then throws a private C++ object
// that only the owning scope catches, so the destructors of everything between
// the raise and the handler run. The handler runs with its frame already
// popped: a raise inside it goes to the next outer frame. Clean-up that must
// run whether or not anything was raised is an `ExceptionCleanup` declared
// before EXCEPTION_TRY.
//
// A raise to a frame is thus a C++ `throw`, and it obeys the language's
// rules on the way to its handler:
// - A raise that would leave a destructor, the callable of an
//   `ExceptionCleanup` or a `noexcept` function ends the process through
//   `std::terminate` instead of reaching the handler. Raising operations in
//   such places need a handler of their own inside them.
// - A raise from a callback that C code invokes, such as a `qsort`
//   comparator, unwinds through the C code's frames. They release nothing
//   they hold, and when they were built without unwind tables the process
//   terminates instead.
// With no frame established, a raise reports and aborts without throwing,
// so a C++ `catch` alone never sees it; cxx.hpp's `throwing` turns a raise
// into a C++ exception, `lexspot::Error`.
//
// The process is single-threaded: `exception_stack` is one process-wide
// variable and nothing locks it.
#pragma once

#include <cstdint>
#include <utility>

#include "export.hpp"

namespace lexspot {

struct Exception {
    const char *reason; // printed by the uncaught-exception report; may be null
};

// One handler frame. It belongs to whoever established it; a raise only
// writes the last three fields and unlinks it.
struct ExceptionFrame {
    ExceptionFrame *prev;       // next outer frame; null for the outermost
    const char *file;           // path given to the raise, stored unchanged
    int32_t line;               // line given to the raise, stored unchanged
    const Exception *exception; // what was raised
};

// The innermost established frame; null when none is established.
extern LEXSPOT_API ExceptionFrame *exception_stack;

// Raises `exception` as if at file:line. Never returns. A null exception is
// itself a failed precondition: `assertion_failed` is raised at this module's
// location in its place.
[[noreturn]] LEXSPOT_API void raise_exception(const Exception *exception, const char *file,
                                              int32_t line);

// Raises again what `frame` caught, with its original location, to the next
// outer frame. For use inside a handler.
[[noreturn]] LEXSPOT_API void exception_reraise(const ExceptionFrame &frame);

// Pushes a frame on construction and pops it on every way out of its lifetime
// unless a raise already popped it. Use it through the macros below.
class ExceptionScope {
  public:
    // What a raise throws. It names the frame it was raised to, so a scope
    // passes on anything meant for another frame. Exported, so that a
    // handler in a program catches what a shared library raises: the two
    // must share its type information.
    class LEXSPOT_API Transfer {
        friend void raise_exception(const Exception *, const char *, int32_t);
        friend class ExceptionScope;
        explicit Transfer(const ExceptionFrame *target) : target_(target) {}
        const ExceptionFrame *target_;
    };

    ExceptionScope() : frame{exception_stack, nullptr, 0, nullptr} { exception_stack = &frame; }
    ~ExceptionScope() {
        if (exception_stack == &frame)
            exception_stack = frame.prev;
    }
    ExceptionScope(const ExceptionScope &) = delete;
    ExceptionScope &operator=(const ExceptionScope &) = delete;

    // Returns the frame when `transfer` was raised to this scope; throws it on
    // otherwise.
    // Defined in the library, like the raise, so that the transfer's layout
    // is the library's own affair.
    LEXSPOT_API const ExceptionFrame &claim(const Transfer &transfer) const;

    ExceptionFrame frame;
};

// Runs a callable when it goes out of scope, on every path.
template <typename F>
class ExceptionCleanup {
  public:
    explicit ExceptionCleanup(F f) : f_(std::move(f)) {}
    ~ExceptionCleanup() { f_(); }
    ExceptionCleanup(const ExceptionCleanup &) = delete;
    ExceptionCleanup &operator=(const ExceptionCleanup &) = delete;

  private:
    F f_;
};

} // namespace lexspot

// `return`, `break` and `continue` inside the protected block leave it
// normally, popping the frame; none of the macros opens a loop.
#define EXCEPTION_TRY                                                                              \
    {                                                                                              \
        ::lexspot::ExceptionScope exception_scope_;                                                \
        try

#define EXCEPTION_HANDLER(frame_name)                                                              \
    catch (const ::lexspot::ExceptionScope::Transfer &exception_transfer_) {                       \
        const ::lexspot::ExceptionFrame &frame_name = exception_scope_.claim(exception_transfer_); \
        (void)frame_name;

#define EXCEPTION_END                                                                              \
    }                                                                                              \
    }

// SPDX-License-Identifier: MIT

// The frame stack and the raise operation.
#include "except.hpp"

#include <cstdio>
#include <cstdlib>

#include "assert.hpp"

namespace lexspot {

ExceptionFrame *exception_stack = nullptr;

void raise_exception(const Exception *exception, const char *file, int32_t line) {
    if (exception == nullptr)
        assert_raise(assertion_failed);

    if (ExceptionFrame *frame = exception_stack) {
        // Fill in, pop, then transfer: the handler runs with its frame gone.
        frame->exception = exception;
        frame->file = file;
        frame->line = line;
        exception_stack = frame->prev;
        throw ExceptionScope::Transfer(frame);
    }

    // Uncaught: report on standard error and end the process.
    std::fputs("Uncaught exception", stderr);
    if (exception->reason != nullptr)
        std::fprintf(stderr, " %s", exception->reason);
    else
        std::fprintf(stderr, " at 0x%p", static_cast<const void *>(exception));
    if (file != nullptr && line > 0)
        std::fprintf(stderr, " raised at %s:%d\n", file, static_cast<int>(line));
    std::fputs("aborting...\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void exception_reraise(const ExceptionFrame &frame) {
    raise_exception(frame.exception, frame.file, frame.line);
}

const ExceptionFrame &ExceptionScope::claim(const Transfer &transfer) const {
    if (transfer.target_ != &frame)
        throw; // the transfer being handled, on to the next outer scope
    return frame;
}

} // namespace lexspot

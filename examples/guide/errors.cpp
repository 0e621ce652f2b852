// SPDX-License-Identifier: MIT
// Raising and handling: a handler that takes one exception and re-raises
// the rest, nested frames, clean-up on every path, and how a raise meets the
// program's own C++ try and catch.
#include <cstdio>
#include <memory>
#include <stdexcept>

#include <lexspot/assert.hpp>
#include <lexspot/except.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/mp.hpp>
#include <lexspot/text.hpp>

using namespace lexspot;

// An exception of the program's own: a constant record with static
// lifetime, identified by its address.
const Exception not_a_number = {"Not a number"};

// z = the decimal number that is all of `str`. Raises `not_a_number` at this
// function's call of assert_raise, and `mp_overflow` (from mp_parse) when
// the number does not fit the width.
void parse_decimal(MpValue z, const char *str) {
    char *end = nullptr;
    mp_parse(z, str, 10, &end);
    if (end == str || *end != '\0')
        assert_raise(not_a_number);
}

// Says when it is destroyed, to show which destructors a raise runs.
struct Witness {
    explicit Witness(const char *witness_name) : name(witness_name) {}
    Witness(const Witness &) = delete;
    Witness &operator=(const Witness &) = delete;
    ~Witness() { std::printf("  ~%s\n", name); }
    const char *name;
};

void passes_a_raise_on(MpValue v) {
    Witness local{"local object"};
    // A block owned by a unique_ptr is freed when a raise passes, like any
    // other C++ object's resources.
    std::unique_ptr<char, void (*)(char *)> block(static_cast<char *>(mem_allocate(64)),
                                                  [](char *p) { mem_release(p); });
    mp_add_ui(v, v, 1000); // raises mp_overflow at 8 bits
}

int main() {
    fmt_install('U', mp_format_u);
    mp_set_width(8);
    MpValue v = mp_create(0);
    // Runs when main's block ends, whether it ends normally or by a raise.
    ExceptionCleanup free_v([&] { mem_release(v); });

    std::printf("handling one exception:\n");
    for (const char *input : {"42", "300", "4x2"}) {
        EXCEPTION_TRY {
            parse_decimal(v, input);
            fmt_stdout("  %s = %U\n", input, v, 10);
        }
        EXCEPTION_HANDLER(frame) {
            if (frame.exception == &mp_overflow)
                std::printf("  %s: does not fit 8 bits\n", input);
            else if (frame.exception == &not_a_number)
                std::printf("  %s: %s\n", input, frame.exception->reason);
            else
                exception_reraise(frame); // anything else is not ours to handle
        }
        EXCEPTION_END
    }
    std::fflush(stdout);

    std::printf("nested frames:\n");
    for (int end : {3, 4, 9}) {
        EXCEPTION_TRY {
            EXCEPTION_TRY {
                Text word = text_slice(text_wrap("lexspot", 7), 1, end); // end 9 is no position
                mp_div_ui(v, v, static_cast<uint64_t>(word.len) - 2);    // divides by 0 for end 3
                std::printf("  end %d: \"%.*s\"\n", end, word.len, word.str);
            }
            EXCEPTION_HANDLER(inner) {
                if (inner.exception != &mp_divide_by_zero)
                    exception_reraise(inner); // the same exception and place, one frame out
                std::printf("  end %d: inner handler: %s\n", end, inner.exception->reason);
            }
            EXCEPTION_END
        }
        EXCEPTION_HANDLER(outer) {
            std::printf("  end %d: outer handler: %s, raised in %s\n", end, outer.exception->reason,
                        outer.file);
        }
        EXCEPTION_END
    }

    std::printf("clean-up:\n");
    EXCEPTION_TRY {
        passes_a_raise_on(v);
    }
    EXCEPTION_HANDLER(frame) {
        std::printf("  handler: %s; v holds the low 8 bits: %d\n", frame.exception->reason,
                    static_cast<int>(mp_to_unsigned(v)));
    }
    EXCEPTION_END

    std::printf("C++ exceptions:\n");
    try {
        EXCEPTION_TRY {
            throw std::runtime_error("a C++ exception");
        }
        EXCEPTION_HANDLER(frame) {
            std::printf("  never reached\n");
        }
        EXCEPTION_END
    } catch (const std::runtime_error &e) {
        // It went past the handler, and the frame is gone with its block.
        std::printf("  caught %s; frames left: %s\n", e.what(),
                    exception_stack == nullptr ? "none" : "some");
    }
    EXCEPTION_TRY {
        try {
            mp_sub_ui(v, v, 255); // raises mp_overflow
        } catch (const std::exception &) {
            std::printf("  never reached: a raise is no std::exception\n");
        } catch (...) {
            std::printf("  catch (...) sees the raise: undo, then throw it on\n");
            throw;
        }
    }
    EXCEPTION_HANDLER(frame) {
        std::printf("  handler: %s\n", frame.exception->reason);
    }
    EXCEPTION_END
}

// SPDX-License-Identifier: MIT

// Client code that leaves by an exception, for the tests of what the library
// leaves behind when a callback it calls (a conversion routine, a sink, a
// table's compare, hash or apply function) does not return.
#pragma once

#include <stdexcept>
#include <string_view>

#include "test_support.hpp"
#include <lexspot/cxx.hpp>

namespace lexspot {

inline const Exception client_failure = {"Client failure"};

// How client code leaves: a C++ exception of its own, a raise that
// `throwing` inside it turned into an Error, or a raise to a frame outside
// the library's call.
enum class Exit { cxx, error, raise };

inline constexpr Exit every_exit[] = {Exit::cxx, Exit::error, Exit::raise};

inline const char *name_of(Exit how) {
    switch (how) {
    case Exit::cxx: return "C++ exception";
    case Exit::error: return "Error from throwing";
    case Exit::raise: return "raise";
    }
    return "?";
}

// Leaves as `how` says; never returns.
inline void leave(Exit how) {
    switch (how) {
    case Exit::cxx: throw std::runtime_error("client");
    case Exit::error: throwing(raise_exception, &client_failure, "client.cpp", 1); break;
    case Exit::raise: raise_exception(&client_failure, "client.cpp", 1);
    }
}

// Runs `f` and returns whether it ended by exactly what `leave(how)` makes;
// false when it returned. Anything else passes through.
template <typename F>
bool left_as(Exit how, F f) {
    try {
        const ExceptionFrame frame = raised_by(f);
        return how == Exit::raise && frame.exception == &client_failure;
    } catch (const Error &e) {
        return how == Exit::error && e.exception() == &client_failure;
    } catch (const std::runtime_error &e) {
        return how == Exit::cxx && std::string_view(e.what()) == "client";
    }
}

} // namespace lexspot

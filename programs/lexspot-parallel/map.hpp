// SPDX-License-Identifier: MIT

// The map step: a list of paths, or standard input, indexed into a shard.
//
// A `MapRun` reads its inputs exactly as lexspot does, through the same
// indexer, but keeps what lexspot would write on standard error: the
// diagnostics, in order, and the exception that would end the run. A raise
// ends the indexing there, as it ends lexspot; nothing after it is read.
// The run then either writes the shard, or ends the process as lexspot
// would have ended.
//
// One run at a time per process: the index is process-wide state.
#pragma once

#include <cstdint>

#include <lexspot/except.hpp>

#include "core/index.hpp"
#include "shard.hpp"

namespace lexspot {

// Prepares the heap of a process that is about to index for an index's
// pattern of access: transparent huge pages, where the system gives them.
// Call it once, before any run, in a process that does nothing else.
void map_use_huge_pages();

class MapRun {
  public:
    MapRun() = default;
    MapRun(const MapRun &) = delete;
    MapRun &operator=(const MapRun &) = delete;

    // Indexes the `count` paths at `paths` in order, or standard input when
    // `paths` is null. The paths must outlive the run.
    void index(const char *const *paths, int64_t count);

    // Whether an exception ended the indexing.
    bool raised() const { return exception_ != nullptr; }

    // Writes the shard: the diagnostics, then the raise or the index, which
    // it drains. Returns 0, or the errno value of a write that failed.
    int write(ShardWriter &writer);

    // After a raise: writes the diagnostics on standard error, with
    // `program` for the program's name, then raises the exception again where
    // nothing catches it, which writes the uncaught-exception report and
    // aborts.
    [[noreturn]] void end_as_raised(const char *program);

  private:
    const char *const *paths_ = nullptr;
    int64_t count_ = 0;
    DiagnosticList diagnostics_;
    Index index_ = {};
    const Exception *exception_ = nullptr;
    const char *file_ = nullptr;
    int32_t line_ = 0;
};

} // namespace lexspot

// SPDX-License-Identifier: MIT

// The reduce step: shards merged, in the order given, into what lexspot
// prints for their argument lists concatenated, or into one shard that says
// the same.
//
// The merge streams. It holds the union of the shards' file names, and of
// each shard its current identifier: the identifiers come out in order from
// a heap of the shards, those equal in several shards are joined, and their
// files are joined by name, a path's line numbers in shard order. Where two
// shards meet, lexspot's rule holds: a number equal to the last one recorded
// for the same identifier and path is skipped.
//
// Both take shards that `ShardReader::check` has accepted.
#pragma once

#include <cstdint>

#include "shard.hpp"

namespace lexspot {

// Writes the diagnostics of the shards on standard error and their merged
// report on standard output, as lexspot writes them, with `program` for the
// program's name. When a shard ends in a raise, the diagnostics up to it are
// written and its exception ends the process uncaught, as it ended the run:
// nothing is written on standard output. Returns the exit status: 0, or 1
// after a message on standard error when the report cannot be written or a
// shard no longer reads as it did.
int merge_report(ShardReader *const *shards, int64_t count, const char *program);

// Writes the merge of the shards as one shard with `writer`: the diagnostics
// up to and including the first shard that ends in a raise and then its
// raise, or else all the diagnostics and the merged index. Returns 0, or 1
// after a message on standard error, naming the output `out_name`, when a
// write fails or a shard no longer reads as it did.
int merge_shard(ShardReader *const *shards, int64_t count, ShardWriter *writer, const char *program,
                const char *out_name);

} // namespace lexspot

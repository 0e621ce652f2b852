// SPDX-License-Identifier: MIT

// Indexing on every core: an argument list cut into shards, each indexed by
// a worker process, and the shards merged.
//
// The plan. A shard is a run of consecutive arguments, so that merging the
// shards in order replays lexspot's reading order. Its cost is the walk along
// the identifier table's chains, which lengthen with the distinct
// identifiers the shard holds (the table never grows), so shards are kept
// small: `shard_bytes` of input each, weighing every file by its size plus
// one byte, and never fewer than `shards_per_job` per job, so that the jobs
// end together. A file larger than the average shard gets a shard of its own.
// There are never more shards than arguments, nor than the descriptors the
// merge may keep open.
//
// The run. At most `jobs` workers run at once, the largest shards first.
// Each worker is a forked process, single-threaded, that indexes its shard
// with the same code as lexspot, its heap in transparent huge pages where
// the system gives them, and writes it to an unlinked temporary file the
// parent made for it (in $TMPDIR, else /tmp): nothing is left on disk
// however the run ends. Paths that are neither regular files nor
// directories (pipes, terminals, devices) are read by one worker at a time,
// in argument order, as lexspot would read them.
#pragma once

#include <cstdint>

#include "buffer.hpp"

namespace lexspot {

inline constexpr int64_t shard_bytes = 2 << 20;
inline constexpr int64_t shards_per_job = 4;

// Cuts `count` arguments (count >= 1) of the given `weights` into shards:
// `*starts` gets each shard's first argument, in order. With `shards` > 0,
// exactly that many (or one per argument when there are fewer), balanced by
// weight; with 0, as many as the policy above chooses. At most `most` shards
// (most >= 1).
void plan_shards(const int64_t *weights, int64_t count, int64_t jobs, int64_t shards, int64_t most,
                 Buffer<int64_t> *starts);

// Raises the soft limit on open descriptors to the hard one, since a merge
// keeps every shard open; returns the limit.
int64_t raise_descriptor_limit();

// Runs lexspot's indexing of `paths` (standard input when null) in worker
// processes, `jobs` at most at a time, over `shards` shards (0: chosen), and
// prints what lexspot would print, with `program` for the program's name.
// Returns the exit status, or ends the process as lexspot would. A worker
// that ends without its shard (killed, out of memory) fails the run: a
// message naming its first path, exit status 1, nothing on standard output.
int run_workers(const char *program, const char *const *paths, int64_t count, int64_t jobs,
                int64_t shards);

} // namespace lexspot

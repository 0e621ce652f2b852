// SPDX-License-Identifier: MIT

// Ending early without leaving anything behind.
//
// While lexspot-parallel runs, it may have worker processes running and one
// temporary file on disk: a shard or merged shard being written under a
// temporary name, before it is renamed into place. (The workers' own shards
// are unlinked the moment they are created, so that they vanish with their
// last descriptor whatever happens.) The handlers installed here run when a
// signal would end the process (HUP, INT, QUIT, PIPE, TERM, and ABRT, by
// which an uncaught raise ends it after its report): they kill the workers,
// remove the file, and end the process by the same signal, as it would have
// ended without them.
//
// The lists are process-wide and changed only with those signals blocked.
#pragma once

#include <cstdint>

#include <signal.h>
#include <sys/types.h>

namespace lexspot {

// Installs the handlers, with room for `most_workers` workers at a time.
void cleanup_install(int64_t most_workers);

// The workers running.
void cleanup_add_worker(pid_t pid);
void cleanup_remove_worker(pid_t pid);

// The temporary file, or none with null. The path must stay valid while it
// is set.
void cleanup_set_file(const char *path);

// Kills the workers and removes the file now, for a way out that is not a
// signal.
void cleanup_now();

// Blocks the handled signals, saving the mask in `*saved`, around work that
// a handler must not interrupt: creating a temporary file and unlinking it,
// starting a worker and listing it.
void cleanup_block(sigset_t *saved);
void cleanup_restore(const sigset_t *saved);

// In a worker just forked: the signals' default actions back, and the mask
// the parent had before `cleanup_block`.
void cleanup_in_worker(const sigset_t *saved);

} // namespace lexspot

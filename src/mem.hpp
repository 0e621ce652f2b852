// SPDX-License-Identifier: MIT

// Checked memory: the only way the system obtains and returns heap memory.
//
// The blocks are plain libc heap blocks with no header and no bookkeeping; a
// block from any allocating operation may be given to `mem_reallocate` or
// `mem_release`, and whoever receives a block owns it until it is released.
// A request never yields null: exhaustion raises `allocation_failed` at the
// requester's location (at this module's own when the path is null), and a
// senseless request (a size of 0 or less, resizing a null block) raises
// `assertion_failed` here before the libc allocator is called.
//
// The location parameters default to the call site, so callers write
// `mem_allocate(n)` and a failure names their own file and line.
#pragma once

#include <cstdint>

#include "except.hpp"
#include "export.hpp"

namespace lexspot {

// Raised when the libc allocator returns null. Reason "Allocation Failed".
extern LEXSPOT_API const Exception allocation_failed;

// A new block of `size` bytes, contents undefined. Requires size > 0.
LEXSPOT_API void *mem_allocate(int64_t size, const char *file = __builtin_FILE(),
                               int32_t line = __builtin_LINE());

// A new block of count × size bytes, all zero. Requires count > 0, then size > 0.
LEXSPOT_API void *mem_allocate_zeroed(int64_t count, int64_t size,
                                      const char *file = __builtin_FILE(),
                                      int32_t line = __builtin_LINE());

// Frees `block`; a null block is accepted and ignored. Tests nothing.
LEXSPOT_API void mem_release(void *block, const char *file = __builtin_FILE(),
                             int32_t line = __builtin_LINE());

// Resizes `block` to `size` bytes, possibly moving it. Requires block not
// null, then size > 0. On failure the old block is left as libc left it.
LEXSPOT_API void *mem_reallocate(void *block, int64_t size, const char *file = __builtin_FILE(),
                                 int32_t line = __builtin_LINE());

} // namespace lexspot

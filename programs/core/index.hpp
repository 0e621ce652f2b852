// SPDX-License-Identifier: MIT

// The cross-reference index that both programs build: every identifier of
// the streams read, with the files it occurs in and the numbers of its lines
// there. lexspot indexes all of its arguments into one index and prints it;
// each worker of lexspot-parallel indexes a slice of them and writes it to a
// shard.
//
// Identifiers. An identifier is the longest run of letters, digits and "_"
// that ends with a letter or "_": it may begin with a digit and never ends
// with one. Every other byte, 128 and above included, separates identifiers.
//
// Line numbers count the pieces `fgets` reads into a 512-byte buffer, so a
// line longer than 510 characters takes several numbers, and an identifier
// crossing a piece boundary is recorded as two. The number is a 24-bit
// `MpValue`, advanced after every piece; it raises `mp_overflow` when
// advanced past 8,388,607, so a stream may have at most 8,388,606 pieces.
//
// Data layout. The identifier table maps a heap key (a `Text` record that
// points into string space) to the identifier's file table; a file table
// maps a file-name key to an `Array` of 3-byte line numbers in the order
// recorded. Every piece read, and so every identifier and file name, is
// copied into string space once and reclaimed only when the index is
// drained. Invariant: a line-number array is never empty and never holds the
// same number twice in a row, so the same path read twice gives 3 7 3 7 but
// a number equal to the last one recorded is skipped.
//
// Process-wide: starting an index installs %T and %D in the formatter (as
// the report does), sets the fixed-width integers to 24 bits and builds the
// identifier character sets. One index at a time per process; the process is
// single-threaded.
//
// Failure: a file that cannot be opened or read is told through the
// caller's `IndexDiagnostics` and skipped (what was read before a read error
// stays indexed). Anything else raises: line-number overflow, exhaustion,
// failed preconditions.
#pragma once

#include <cstdint>
#include <cstdio>

#include <lexspot/table.hpp>
#include <lexspot/text.hpp>

namespace lexspot {

// Bytes of a line number: a 24-bit MpValue, least significant byte first.
inline constexpr int32_t index_number_size = 3;

// An index being built. Owns its table, everything in it and the string
// space taken since `mark`.
struct Index {
    Table identifiers;
    TextMark *mark;
};

// How a file that cannot be opened or read is told: `what` is "can't open"
// or "can't read", `name` the path (null for standard input), `error` the
// errno value. lexspot writes the line at once; a worker of lexspot-parallel
// keeps it for the merge to replay.
struct IndexDiagnostics {
    void (*report)(void *closure, const char *what, const char *name, int error);
    void *closure;
};

// Visits a drained index in report order: identifiers sorted by
// `text_compare`, each followed by its files sorted the same way. The texts
// and numbers passed are valid during the call only.
struct IndexVisitor {
    // The next identifier and how many files follow it (at least one).
    void (*identifier)(void *closure, const Text *identifier, int32_t files);
    // One of its files: the name (empty for standard input) and its `count`
    // line numbers, `index_number_size` bytes each.
    void (*file)(void *closure, const Text *name, const unsigned char *numbers, int32_t count);
    void *closure;
};

// Creates the identifier table, takes the string-space mark, installs %T and
// %D and sets the 24-bit width (as `report_setup` does), and builds the
// identifier character sets.
void index_start(Index *index);

// Opens `path` and indexes it under its own name, or tells `diagnostics`
// that it cannot be opened. Requires path not null.
void index_path(Index *index, const char *path, IndexDiagnostics diagnostics);

// Indexes every identifier of `stream` under `name`, or under the empty name
// for standard input (a null `name`). A read error is told to `diagnostics`
// and ends the stream.
void index_stream(Index *index, const char *name, FILE *stream, IndexDiagnostics diagnostics);

// Visits the whole index in report order, freeing each identifier's records
// as they are visited, then frees the table and releases the string space to
// the start-up mark. The index is empty afterwards (both fields null).
void index_drain(Index *index, IndexVisitor visitor);

} // namespace lexspot

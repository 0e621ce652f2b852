// SPDX-License-Identifier: MIT

// Shards: what one run of the indexer leaves for the merge, in a file.
//
// A shard holds, for the paths one worker indexed in order, what lexspot
// would have written: the diagnostics in order, then either the whole index
// or the exception that ended the run. The merge of shards in argument order
// gives lexspot's output for their arguments concatenated; merging into a
// shard again gives a shard of the same kind.
//
// The format, version 1. Every integer is unsigned and little-endian, of the
// width given, whatever the host's byte order or word size; a text is a u32
// length and that many bytes, any byte allowed unless said otherwise.
//
//     header   magic  8 bytes  89 4C 58 53 0D 0A 1A 0A ("\x89LXS\r\n\x1a\n")
//              version   u32   1
//              length    u64   of the whole file, header and trailer included
//     body     diagnostics     u32 count, then for each, in order:
//                                what: text; name: u8 0 (standard input) or
//                                1 and a text; reason: text. None of the
//                                three holds a NUL byte.
//              outcome   u8    0: indexed, the index follows;
//                              1: raised, the raise follows and ends the body
//              raise           reason: u8 0 (none) or 1 and a text; file: the
//                              same; line: u32 (a two's complement int32)
//              index           names: u32 count, then each name as a text,
//                              in strictly ascending text_compare order;
//                              then the identifiers in strictly ascending
//                              order, each: identifier (a text of 1 or more
//                              bytes), u32 file count (1 or more), then per
//                              file: u32 index into the names (strictly
//                              ascending), u32 line count (1 or more), and
//                              the line numbers, 3 bytes each (a 24-bit
//                              value from 1 to 8,388,607, none equal to the
//                              one before it); then u32 0, an empty
//                              identifier, ending the index
//     trailer  crc       u32   CRC-32 (the one of zlib and PNG) of the body
//
// The header and the trailer let a reader refuse a damaged file before it
// trusts any of it: the magic tells a shard from any other file (and notices
// a file that went through a text-mode transfer), the version an older or
// newer format, the length a truncated or extended file, and the checksum
// any change to the body; every single changed byte is refused. A reader
// also checks everything the merge relies on: the orders, the counts, the
// ranges and that nothing follows the index.
//
// File names are numbered so that an entry costs 8 bytes and two entries
// compare as numbers; a merge renumbers them into the union of its inputs'
// names.
#pragma once

#include <cstdint>

#include <lexspot/text.hpp>

#include "buffer.hpp"

namespace lexspot {

inline constexpr uint32_t shard_version = 1;

// CRC-32 of `size` bytes at `data`, continuing from `crc` (0 to start).
uint32_t shard_crc32(uint32_t crc, const unsigned char *data, int64_t size);

// Sorts `names` in text_compare order and keeps one of each, as a shard
// lists its file names.
void shard_sort_names(Buffer<Text> *names);

// ---- Diagnostics and raises, as the merge replays them

// One diagnostic line: "PROGRAM: WHAT 'NAME' (REASON)", or "PROGRAM: WHAT
// standard input (REASON)" when `name` is null.
struct Diagnostic {
    const char *what;
    const char *name;
    const char *reason;
};

// The diagnostics of one or more runs, in order. Keeps copies of its texts.
class DiagnosticList {
  public:
    // Appends a diagnostic; `name` may be null. None of them may hold a NUL
    // byte but the one that ends it.
    void add(const char *what, const char *name, const char *reason);
    void add_all(const DiagnosticList &other);
    int64_t count() const { return entries_.size(); }
    Diagnostic at(int64_t i) const;
    // Writes them all on standard error, each as lexspot does, with
    // `program` for the program's name.
    void replay(const char *program) const;

  private:
    struct Entry {
        int64_t what, name, reason; // offsets into text_; name -1 when null
    };
    int64_t keep(const char *text);
    Buffer<Entry> entries_;
    Buffer<char> text_;
};

// The exception that ended a run: its reason and the place it was raised at,
// each of which may be absent.
class RaiseRecord {
  public:
    void set(const char *reason, const char *file, int32_t line);
    const char *reason() const { return has_reason_ ? reason_.data() : nullptr; }
    const char *file() const { return has_file_ ? file_.data() : nullptr; }
    int32_t line() const { return line_; }
    // Raises it again where nothing catches it: the uncaught-exception report
    // that the run would have written, then abort.
    [[noreturn]] void replay() const;

  private:
    bool has_reason_ = false, has_file_ = false;
    Buffer<char> reason_, file_;
    int32_t line_ = 0;
};

// ---- Writing

// Writes one shard to a file descriptor, from its start, in the order of the
// format: `diagnostics`, then `raised` or `names` followed by the
// identifiers, then `finish`. The descriptor must be a regular file, open for
// writing and empty; the writer does not close it. A write that fails is
// remembered and reported by `finish`.
class ShardWriter {
  public:
    explicit ShardWriter(int fd);
    ShardWriter(const ShardWriter &) = delete;
    ShardWriter &operator=(const ShardWriter &) = delete;

    void diagnostics(const DiagnosticList &list);
    void raised(const RaiseRecord &raise);
    // Starts the index with its file names, which must be sorted and
    // distinct.
    void names(const Text *names, int64_t count);
    // Starts an identifier, with how many files will follow.
    void identifier(const Text *identifier, int32_t files);
    // Starts one of its files: the name's index and how many numbers follow,
    // in one or more calls of `numbers`.
    void file(uint32_t name, int64_t count);
    void numbers(const unsigned char *numbers, int64_t count);
    // Ends the index (when there is one), writes the trailer and the header's
    // length. Returns 0, or the errno value of the first write that failed.
    int finish();

  private:
    void put(const void *bytes, int64_t size);
    void put_u8(uint8_t value);
    void put_u32(uint32_t value);
    void put_text(const char *text, int64_t size);
    void put_optional(const char *text);
    void flush();

    int fd_;
    int error_ = 0;
    bool indexed_ = false;
    uint64_t length_ = 0; // bytes written or buffered so far
    uint32_t crc_ = 0;    // of the body written or buffered so far
    Buffer<unsigned char> buffer_;
};

// ---- Reading

// One identifier of a shard and its files, as `ShardReader::next` loads it.
struct ShardFile {
    uint32_t name;                // index into the shard's names
    int32_t count;                // line numbers
    const unsigned char *numbers; // count × 3 bytes
};

struct ShardBlock {
    Text identifier;
    int32_t file_count;
    const ShardFile *files;
};

// Reads one shard from a file descriptor, which it owns and closes.
//
// `check` reads the whole file once and refuses it unless it is a sound
// shard of this version; it keeps the diagnostics, the raise and the names.
// Then `next` streams the identifiers from the start of the index, one block
// at a time: the reader holds only the current block. Reading trusts
// nothing a check has not seen; should the file change between the two, the
// reading stops with an error.
class ShardReader {
  public:
    // `label` names the shard in messages; it must outlive the reader.
    ShardReader(int fd, const char *label);
    // The same on the heap, from the checked allocator, and its end.
    static ShardReader *create(int fd, const char *label);
    static void destroy(ShardReader *reader);
    ~ShardReader();
    ShardReader(const ShardReader &) = delete;
    ShardReader &operator=(const ShardReader &) = delete;

    const char *label() const { return label_; }

    // Returns null when the shard is sound, else what is wrong with it, as
    // the end of a sentence that starts with the shard's name ("is
    // truncated: ...").
    const char *check();

    const DiagnosticList &diagnostics() const { return diagnostics_; }
    bool raised() const { return raised_; }
    const RaiseRecord &raise() const { return raise_; }
    int64_t name_count() const { return names_.size(); }
    const Text *names() const { return names_.data(); }

    // Loads the next identifier into `block()` and returns true, or returns
    // false at the end of the index. Returns false with `error()` set when
    // the file no longer reads as it did when checked.
    bool next();
    const ShardBlock &block() const { return block_; }
    const char *error() const { return error_; }

  private:
    struct Failure {
        const char *what;
    };
    [[noreturn]] void fail(const char *what);
    void fill(int64_t size);
    const unsigned char *take(int64_t size);
    uint8_t take_u8();
    uint32_t take_u32();
    uint64_t take_u64();
    int64_t take_length(int64_t least, int64_t unit);
    void take_cstring(Buffer<char> &store);
    void read_body();
    bool read_block();
    void read_names();

    int fd_;
    const char *label_;
    const char *error_ = nullptr;
    char message_[160];

    // The input: `buffer_` holds the file's bytes from `buffer_offset_`,
    // of which [`start_`, `end_`) are not read yet.
    Buffer<unsigned char> buffer_;
    int64_t start_ = 0, end_ = 0;
    uint64_t buffer_offset_ = 0;
    uint64_t limit_ = 0;       // where what is being read must end
    uint64_t length_ = 0;      // the whole file's, as its header says
    uint64_t index_start_ = 0; // where the first identifier begins
    bool checking_ = false;    // reading for `check`: compute the checksum
    bool streaming_ = false;   // `next` has started
    uint32_t crc_ = 0;

    DiagnosticList diagnostics_;
    bool raised_ = false;
    RaiseRecord raise_;
    Buffer<Text> names_;
    Buffer<char> name_bytes_;

    // The current block: its identifier and numbers in `block_bytes_`, its
    // files in `block_files_`, with offsets until the block is whole.
    Buffer<unsigned char> block_bytes_;
    Buffer<ShardFile> block_files_;
    Buffer<int64_t> number_offsets_;
    ShardBlock block_ = {};
    Buffer<char> previous_; // the identifier before, while checking
};

} // namespace lexspot

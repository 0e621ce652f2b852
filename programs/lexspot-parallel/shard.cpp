// SPDX-License-Identifier: MIT

// The shard format: its checksum, the writer and the reader.
#include "shard.hpp"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

#include <lexspot/except.hpp>
#include <lexspot/mem.hpp>

#include "core/index.hpp"
#include "core/report.hpp"

namespace lexspot {

namespace {

constexpr unsigned char magic[8] = {0x89, 'L', 'X', 'S', '\r', '\n', 0x1a, '\n'};
constexpr int64_t header_size = 20; // magic, version, length
constexpr int64_t trailer_size = 4; // checksum
constexpr uint32_t largest_line = 8388607;

// ---- CRC-32, eight bytes at a time

// tables[0] is the classic byte-at-a-time table of the reflected polynomial
// 0xEDB88320; tables[k][b] is the CRC of byte b followed by k zero bytes, so
// that eight bytes are folded with eight lookups.
constexpr std::array<std::array<uint32_t, 256>, 8> make_crc_tables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int k = 0; k < 8; k++)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; b++)
        for (size_t k = 1; k < 8; k++)
            tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xff];
    return tables;
}

constexpr auto crc_tables = make_crc_tables();

uint32_t load_u32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_u32(unsigned char *p, uint32_t value) {
    for (int k = 0; k < 4; k++)
        p[k] = static_cast<unsigned char>(value >> (8 * k));
}

void store_u64(unsigned char *p, uint64_t value) {
    for (int k = 0; k < 8; k++)
        p[k] = static_cast<unsigned char>(value >> (8 * k));
}

uint32_t number_at(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16;
}

// Texts over bytes that may be none at all still need a pointer.
const char *text_bytes(const char *bytes) {
    return bytes != nullptr ? bytes : "";
}

} // namespace

uint32_t shard_crc32(uint32_t crc, const unsigned char *data, int64_t size) {
    uint32_t c = ~crc;
    for (; size >= 8; size -= 8, data += 8) {
        c ^= load_u32(data);
        c = crc_tables[7][c & 0xff] ^ crc_tables[6][(c >> 8) & 0xff] ^
            crc_tables[5][(c >> 16) & 0xff] ^ crc_tables[4][c >> 24] ^ crc_tables[3][data[4]] ^
            crc_tables[2][data[5]] ^ crc_tables[1][data[6]] ^ crc_tables[0][data[7]];
    }
    for (; size > 0; size--, data++)
        c = crc_tables[0][(c ^ *data) & 0xff] ^ (c >> 8);
    return ~c;
}

namespace {

int compare_names(const void *x, const void *y) {
    return text_compare(*static_cast<const Text *>(x), *static_cast<const Text *>(y));
}

} // namespace

void shard_sort_names(Buffer<Text> *names) {
    if (names->size() > 1)
        std::qsort(names->data(), static_cast<size_t>(names->size()), sizeof(Text), compare_names);
    int64_t distinct = 0;
    for (int64_t i = 0; i < names->size(); i++)
        if (distinct == 0 || text_compare((*names)[distinct - 1], (*names)[i]) != 0)
            (*names)[distinct++] = (*names)[i];
    names->resize(distinct);
}

// ---- DiagnosticList

int64_t DiagnosticList::keep(const char *text) {
    int64_t at = text_.size();
    text_.append(text, static_cast<int64_t>(std::strlen(text)) + 1);
    return at;
}

void DiagnosticList::add(const char *what, const char *name, const char *reason) {
    Entry entry;
    entry.what = keep(what);
    entry.name = name != nullptr ? keep(name) : -1;
    entry.reason = keep(reason);
    entries_.push_back(entry);
}

void DiagnosticList::add_all(const DiagnosticList &other) {
    for (int64_t i = 0; i < other.count(); i++) {
        Diagnostic d = other.at(i);
        add(d.what, d.name, d.reason);
    }
}

Diagnostic DiagnosticList::at(int64_t i) const {
    const Entry &entry = entries_[i];
    return {text_.data() + entry.what, entry.name >= 0 ? text_.data() + entry.name : nullptr,
            text_.data() + entry.reason};
}

void DiagnosticList::replay(const char *program) const {
    for (int64_t i = 0; i < count(); i++) {
        Diagnostic d = at(i);
        report_diagnostic(stderr, program, d.what, d.name, d.reason);
    }
}

// ---- RaiseRecord

void RaiseRecord::set(const char *reason, const char *file, int32_t line) {
    has_reason_ = reason != nullptr;
    reason_.clear();
    if (has_reason_)
        reason_.append(reason, static_cast<int64_t>(std::strlen(reason)) + 1);
    has_file_ = file != nullptr;
    file_.clear();
    if (has_file_)
        file_.append(file, static_cast<int64_t>(std::strlen(file)) + 1);
    line_ = line;
}

void RaiseRecord::replay() const {
    // The run's own record is in another process; this one has its reason,
    // and the raise its place, so the report reads the same.
    static Exception exception;
    exception.reason = reason();
    raise_exception(&exception, file(), line_);
}

// ---- ShardWriter

ShardWriter::ShardWriter(int fd) : fd_(fd) {
    buffer_.reserve(1 << 16);
    // The length is written over the placeholder by `finish`.
    unsigned char header[header_size] = {};
    std::memcpy(header, magic, sizeof magic);
    store_u32(header + 8, shard_version);
    buffer_.append(header, header_size);
    length_ = header_size;
}

void ShardWriter::flush() {
    const unsigned char *p = buffer_.data();
    int64_t left = buffer_.size();
    while (left > 0 && error_ == 0) {
        ssize_t written = ::write(fd_, p, static_cast<size_t>(left));
        if (written < 0) {
            if (errno != EINTR)
                error_ = errno;
            continue;
        }
        p += written;
        left -= written;
    }
    buffer_.clear();
}

void ShardWriter::put(const void *bytes, int64_t size) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    crc_ = shard_crc32(crc_, p, size);
    length_ += static_cast<uint64_t>(size);
    while (size > 0) {
        int64_t room = (1 << 16) - buffer_.size();
        if (room == 0) {
            flush();
            continue;
        }
        int64_t n = size < room ? size : room;
        buffer_.append(p, n);
        p += n;
        size -= n;
    }
}

void ShardWriter::put_u8(uint8_t value) {
    put(&value, 1);
}

void ShardWriter::put_u32(uint32_t value) {
    unsigned char bytes[4];
    store_u32(bytes, value);
    put(bytes, 4);
}

void ShardWriter::put_text(const char *text, int64_t size) {
    put_u32(static_cast<uint32_t>(size));
    put(text, size);
}

void ShardWriter::put_optional(const char *text) {
    put_u8(text != nullptr ? 1 : 0);
    if (text != nullptr)
        put_text(text, static_cast<int64_t>(std::strlen(text)));
}

void ShardWriter::diagnostics(const DiagnosticList &list) {
    put_u32(static_cast<uint32_t>(list.count()));
    for (int64_t i = 0; i < list.count(); i++) {
        Diagnostic d = list.at(i);
        put_text(d.what, static_cast<int64_t>(std::strlen(d.what)));
        put_optional(d.name);
        put_text(d.reason, static_cast<int64_t>(std::strlen(d.reason)));
    }
}

void ShardWriter::raised(const RaiseRecord &raise) {
    put_u8(1);
    put_optional(raise.reason());
    put_optional(raise.file());
    put_u32(static_cast<uint32_t>(raise.line()));
}

void ShardWriter::names(const Text *names, int64_t count) {
    put_u8(0);
    indexed_ = true;
    put_u32(static_cast<uint32_t>(count));
    for (int64_t i = 0; i < count; i++)
        put_text(names[i].str, names[i].len);
}

void ShardWriter::identifier(const Text *identifier, int32_t files) {
    put_text(identifier->str, identifier->len);
    put_u32(static_cast<uint32_t>(files));
}

void ShardWriter::file(uint32_t name, int64_t count) {
    put_u32(name);
    put_u32(static_cast<uint32_t>(count));
}

void ShardWriter::numbers(const unsigned char *numbers, int64_t count) {
    put(numbers, count * index_number_size);
}

int ShardWriter::finish() {
    if (indexed_)
        put_u32(0);
    unsigned char trailer[trailer_size];
    store_u32(trailer, crc_);
    const uint64_t length = length_ + trailer_size;
    buffer_.append(trailer, trailer_size);
    flush();
    unsigned char bytes[8];
    store_u64(bytes, length);
    if (error_ == 0 && ::pwrite(fd_, bytes, sizeof bytes, 12) != static_cast<ssize_t>(sizeof bytes))
        error_ = errno != 0 ? errno : EIO;
    return error_;
}

// ---- ShardReader

ShardReader::ShardReader(int fd, const char *label) : fd_(fd), label_(label) {}

ShardReader::~ShardReader() {
    ::close(fd_);
}

ShardReader *ShardReader::create(int fd, const char *label) {
    return new (mem_allocate(sizeof(ShardReader))) ShardReader(fd, label);
}

void ShardReader::destroy(ShardReader *reader) {
    reader->~ShardReader();
    mem_release(reader);
}

void ShardReader::fail(const char *what) {
    throw Failure{what};
}

// Makes `size` bytes available from `start_`, reading from the file as
// needed. Every caller has checked that the file holds them.
void ShardReader::fill(int64_t size) {
    if (end_ - start_ >= size)
        return;
    // Keep what is left at the front, then read at least the rest.
    const int64_t left = end_ - start_;
    if (left > 0)
        std::memmove(buffer_.data(), buffer_.data() + start_, static_cast<size_t>(left));
    buffer_offset_ += static_cast<uint64_t>(start_);
    start_ = 0;
    end_ = left;
    const int64_t want = size > (1 << 16) ? size : (1 << 16);
    buffer_.resize(want);
    while (end_ < size) {
        ssize_t got = ::pread(fd_, buffer_.data() + end_, static_cast<size_t>(want - end_),
                              static_cast<off_t>(buffer_offset_ + static_cast<uint64_t>(end_)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            std::snprintf(message_, sizeof message_, "can't be read (%s)", std::strerror(errno));
            fail(message_);
        }
        if (got == 0)
            fail("is truncated: it ended while being read");
        end_ += got;
    }
}

const unsigned char *ShardReader::take(int64_t size) {
    // Checked before anything is read or allocated for it.
    if (static_cast<uint64_t>(size) > limit_ - (buffer_offset_ + static_cast<uint64_t>(start_)))
        fail(limit_ == length_ - trailer_size ? "is malformed: its contents run past their end"
                                              : "is truncated: it ends in its header");
    fill(size);
    const unsigned char *p = buffer_.data() + start_;
    start_ += size;
    if (checking_)
        crc_ = shard_crc32(crc_, p, size);
    return p;
}

uint8_t ShardReader::take_u8() {
    return *take(1);
}

uint32_t ShardReader::take_u32() {
    return load_u32(take(4));
}

uint64_t ShardReader::take_u64() {
    const unsigned char *p = take(8);
    return static_cast<uint64_t>(load_u32(p)) | static_cast<uint64_t>(load_u32(p + 4)) << 32;
}

// A u32 length or count of `least` or more, of things of at least `unit`
// bytes each that the rest of the contents can hold, so that nothing is
// allocated for more than the file has.
int64_t ShardReader::take_length(int64_t least, int64_t unit) {
    const int64_t length = take_u32();
    if (length < least)
        fail("is malformed: a count or length is too small");
    const uint64_t rest = limit_ - (buffer_offset_ + static_cast<uint64_t>(start_));
    if (static_cast<uint64_t>(length) > rest / static_cast<uint64_t>(unit))
        fail("is malformed: its contents run past their end");
    return length;
}

// A text without NUL bytes, kept in `store` with a NUL after it.
void ShardReader::take_cstring(Buffer<char> &store) {
    const int64_t size = take_length(0, 1);
    const auto *bytes = reinterpret_cast<const char *>(take(size));
    if (std::memchr(bytes, '\0', static_cast<size_t>(size)) != nullptr)
        fail("is malformed: a diagnostic or raise holds a NUL byte");
    store.clear();
    store.append(bytes, size);
    store.push_back('\0');
}

const char *ShardReader::check() {
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        std::snprintf(message_, sizeof message_, "can't be read (%s)", std::strerror(errno));
        return message_;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    try {
        // The header: magic, version, length, each checked before the next
        // is read.
        if (size == 0)
            fail("is empty");
        limit_ = size;
        const unsigned char *head = take(size < 8 ? static_cast<int64_t>(size) : 8);
        if (size < 8 || std::memcmp(head, magic, sizeof magic) != 0)
            fail("is not a lexspot shard");
        if (size < 12)
            fail("is truncated: it ends in its header");
        const uint32_t version = take_u32();
        if (version != shard_version) {
            std::snprintf(message_, sizeof message_,
                          "is a shard of version %" PRIu32
                          ", and this program reads version %" PRIu32,
                          version, shard_version);
            fail(message_);
        }
        if (size < header_size)
            fail("is truncated: it ends in its header");
        length_ = take_u64();
        if (length_ > size) {
            std::snprintf(message_, sizeof message_,
                          "is truncated: it has %" PRIu64 " of its %" PRIu64 " bytes", size,
                          length_);
            fail(message_);
        }
        if (length_ < size) {
            std::snprintf(message_, sizeof message_,
                          "has %" PRIu64 " byte%s after its end at %" PRIu64, size - length_,
                          size - length_ == 1 ? "" : "s", length_);
            fail(message_);
        }
        if (length_ < header_size + trailer_size)
            fail("is truncated: it ends in its header");

        // The body, read with its checksum. A structural fault found on the
        // way is reported only if the checksum holds: otherwise the fault is
        // damage, and the checksum says so.
        limit_ = length_ - trailer_size;
        checking_ = true;
        const char *fault = nullptr;
        try {
            read_body();
        } catch (const Failure &failure) {
            fault = failure.what;
            // Drain the rest of the body into the checksum, in pieces.
            const uint64_t body_end = length_ - trailer_size;
            for (uint64_t at = buffer_offset_ + static_cast<uint64_t>(start_); at < body_end;) {
                const uint64_t rest = body_end - at;
                const int64_t piece = rest < (1u << 16) ? static_cast<int64_t>(rest) : (1 << 16);
                take(piece);
                at += static_cast<uint64_t>(piece);
            }
        }
        checking_ = false;
        limit_ = length_;
        const uint32_t body_crc = crc_;
        if (take_u32() != body_crc)
            fail("is corrupted: its checksum does not match its contents");
        if (fault != nullptr) {
            // `fault` may point into message_, which is free to keep it.
            if (fault != message_)
                std::snprintf(message_, sizeof message_, "%s", fault);
            return message_;
        }
    } catch (const Failure &failure) {
        checking_ = false;
        return failure.what;
    }
    return nullptr;
}

// Everything between the header and the trailer, in order. Leaves the
// reading where the trailer starts.
void ShardReader::read_body() {
    // Each diagnostic takes at least 9 bytes: two lengths and a flag.
    const int64_t diagnostics = take_length(0, 9);
    Buffer<char> what, name, reason;
    for (int64_t i = 0; i < diagnostics; i++) {
        take_cstring(what);
        const uint8_t has_name = take_u8();
        if (has_name > 1)
            fail("is malformed: a diagnostic's name is neither absent nor present");
        if (has_name != 0)
            take_cstring(name);
        take_cstring(reason);
        diagnostics_.add(what.data(), has_name != 0 ? name.data() : nullptr, reason.data());
    }
    const uint8_t outcome = take_u8();
    if (outcome == 1) {
        raised_ = true;
        bool present[2];
        for (int k = 0; k < 2; k++) {
            const uint8_t flag = take_u8();
            if (flag > 1)
                fail("is malformed: a raise's reason or place is neither absent nor present");
            present[k] = flag != 0;
            if (present[k])
                take_cstring(k == 0 ? reason : name);
        }
        const auto line = static_cast<int32_t>(take_u32());
        raise_.set(present[0] ? reason.data() : nullptr, present[1] ? name.data() : nullptr, line);
    } else if (outcome == 0) {
        read_names();
        index_start_ = buffer_offset_ + static_cast<uint64_t>(start_);
        while (read_block()) {
        }
    } else {
        fail("is malformed: its outcome is neither indexed nor raised");
    }
    if (buffer_offset_ + static_cast<uint64_t>(start_) != length_ - trailer_size)
        fail("is malformed: bytes follow the end of its contents");
}

void ShardReader::read_names() {
    const int64_t count = take_length(0, 4);
    Buffer<int64_t> ends;
    for (int64_t i = 0; i < count; i++) {
        const int64_t size = take_length(0, 1);
        name_bytes_.append(reinterpret_cast<const char *>(take(size)), size);
        ends.push_back(name_bytes_.size());
    }
    names_.resize(count);
    int64_t start = 0;
    for (int64_t i = 0; i < count; i++) {
        names_[i] = {static_cast<int>(ends[i] - start), text_bytes(name_bytes_.data()) + start};
        start = ends[i];
        if (i > 0 && text_compare(names_[i - 1], names_[i]) >= 0)
            fail("is malformed: its file names are not in strictly ascending order");
    }
}

// Loads the next identifier, checking it as `check` does; returns false at
// the end of the index.
bool ShardReader::read_block() {
    const int64_t size = take_length(0, 1);
    if (size == 0)
        return false;
    if (size > INT32_MAX)
        fail("is malformed: an identifier is too long");
    block_bytes_.clear();
    block_bytes_.append(take(size), size);
    // Each file takes at least 11 bytes: its name, its count and a number.
    const int64_t files = take_length(1, 11);
    if (files > INT32_MAX)
        fail("is malformed: an identifier has too many files");
    block_files_.resize(files);
    number_offsets_.resize(files);
    for (int64_t f = 0; f < files; f++) {
        const uint32_t name = take_u32();
        if (name >= static_cast<uint64_t>(names_.size()))
            fail("is malformed: a file number is out of range");
        if (f > 0 && name <= block_files_[f - 1].name)
            fail("is malformed: an identifier's files are not in strictly ascending order");
        const int64_t count = take_length(1, index_number_size);
        if (count > INT32_MAX / index_number_size)
            fail("is malformed: a file has too many line numbers");
        // Checked in place, in the input buffer, before they are kept.
        const unsigned char *numbers = take(count * index_number_size);
        uint32_t before = 0;
        for (int64_t k = 0; k < count; k++) {
            const uint32_t number = number_at(numbers + k * index_number_size);
            if (number == 0 || number > largest_line)
                fail("is malformed: a line number is out of range");
            if (number == before)
                fail("is malformed: a line number repeats the one before it");
            before = number;
        }
        number_offsets_[f] = block_bytes_.size();
        block_bytes_.append(numbers, count * index_number_size);
        block_files_[f] = {name, static_cast<int32_t>(count), nullptr};
    }
    // Now that the bytes no longer move: the pointers.
    const Text identifier = {static_cast<int>(size),
                             reinterpret_cast<const char *>(block_bytes_.data())};
    for (int64_t f = 0; f < files; f++)
        block_files_[f].numbers = block_bytes_.data() + number_offsets_[f];
    if (!previous_.empty() &&
        text_compare(Text{static_cast<int>(previous_.size()), previous_.data()}, identifier) >= 0)
        fail("is malformed: its identifiers are not in strictly ascending order");
    previous_.clear();
    previous_.append(identifier.str, size);
    block_ = {identifier, static_cast<int32_t>(files), block_files_.data()};
    return true;
}

bool ShardReader::next() {
    if (error_ != nullptr)
        return false;
    try {
        if (index_start_ == 0)
            fail("has no index");
        if (!streaming_) {
            // The first call: back to where the index starts.
            streaming_ = true;
            buffer_offset_ = index_start_;
            start_ = end_ = 0;
            limit_ = length_ - trailer_size;
            previous_.clear();
        }
        if (read_block())
            return true;
        if (buffer_offset_ + static_cast<uint64_t>(start_) != length_ - trailer_size)
            fail("is malformed: bytes follow the end of its contents");
        block_ = {};
        return false;
    } catch (const Failure &failure) {
        std::snprintf(message_, sizeof message_, "%s", failure.what);
        error_ = message_;
        return false;
    }
}

} // namespace lexspot

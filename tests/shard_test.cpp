// SPDX-License-Identifier: MIT

// The shard format of lexspot-parallel: its checksum, its bytes, what the
// reader accepts and refuses, and the merge into a shard.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lexspot-parallel/merge.hpp"
#include "lexspot-parallel/shard.hpp"

namespace {

using namespace lexspot;
using namespace std::string_literals;

// An unlinked temporary file holding `bytes`, positioned at its start.
int file_of(const std::string &bytes) {
    std::FILE *f = std::tmpfile();
    EXPECT_NE(f, nullptr) << std::strerror(errno);
    const int fd = dup(fileno(f));
    std::fclose(f);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string contents_of(int fd) {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()))) > 0;)
        bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
}

// A shard's index, as the tests write and expect it.
struct File {
    uint32_t name;
    std::vector<uint32_t> numbers;
};
struct Identifier {
    std::string text;
    std::vector<File> files;
};
struct Contents {
    std::vector<std::vector<std::string>> diagnostics; // what, name ("\x01" for none), reason
    std::vector<std::string> names;
    std::vector<Identifier> index;
};

std::string numbers_bytes(const std::vector<uint32_t> &numbers) {
    std::string bytes;
    for (uint32_t n : numbers)
        bytes += {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16)};
    return bytes;
}

DiagnosticList diagnostics_of(const Contents &contents) {
    DiagnosticList list;
    for (const auto &d : contents.diagnostics)
        list.add(d[0].c_str(), d[1] == "\x01" ? nullptr : d[1].c_str(), d[2].c_str());
    return list;
}

std::string written(const Contents &contents) {
    const int fd = file_of("");
    ShardWriter writer(fd);
    writer.diagnostics(diagnostics_of(contents));
    std::vector<Text> names;
    for (const std::string &name : contents.names)
        names.push_back(text_wrap(name.data(), static_cast<int>(name.size())));
    writer.names(names.data(), static_cast<int64_t>(names.size()));
    for (const Identifier &id : contents.index) {
        const Text text = text_wrap(id.text.data(), static_cast<int>(id.text.size()));
        writer.identifier(&text, static_cast<int32_t>(id.files.size()));
        for (const File &file : id.files) {
            writer.file(file.name, static_cast<int64_t>(file.numbers.size()));
            const std::string bytes = numbers_bytes(file.numbers);
            writer.numbers(reinterpret_cast<const unsigned char *>(bytes.data()),
                           static_cast<int64_t>(file.numbers.size()));
        }
    }
    EXPECT_EQ(writer.finish(), 0);
    std::string bytes = contents_of(fd);
    close(fd);
    return bytes;
}

// What a reader finds in a shard that it accepts.
Contents read_back(ShardReader &reader) {
    Contents contents;
    for (int64_t i = 0; i < reader.diagnostics().count(); i++) {
        const Diagnostic d = reader.diagnostics().at(i);
        contents.diagnostics.push_back({d.what, d.name != nullptr ? d.name : "\x01", d.reason});
    }
    for (int64_t i = 0; i < reader.name_count(); i++)
        contents.names.emplace_back(reader.names()[i].str,
                                    static_cast<size_t>(reader.names()[i].len));
    while (reader.next()) {
        const ShardBlock &block = reader.block();
        Identifier id{std::string(block.identifier.str, static_cast<size_t>(block.identifier.len)),
                      {}};
        for (int32_t f = 0; f < block.file_count; f++) {
            File file{block.files[f].name, {}};
            for (int32_t k = 0; k < block.files[f].count; k++) {
                const unsigned char *p = block.files[f].numbers + 3 * k;
                file.numbers.push_back(static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16));
            }
            id.files.push_back(file);
        }
        contents.index.push_back(id);
    }
    EXPECT_EQ(reader.error(), nullptr) << reader.error();
    return contents;
}

bool operator==(const File &a, const File &b) {
    return a.name == b.name && a.numbers == b.numbers;
}
bool operator==(const Identifier &a, const Identifier &b) {
    return a.text == b.text && a.files == b.files;
}
bool operator==(const Contents &a, const Contents &b) {
    return a.diagnostics == b.diagnostics && a.names == b.names && a.index == b.index;
}

// Null when the shard is accepted, else the reader's complaint.
std::string refusal(const std::string &bytes) {
    ShardReader reader(file_of(bytes), "shard");
    const char *why = reader.check();
    return why != nullptr ? why : "";
}

// A shard whose checksum holds, made by hand from `body`.
std::string sealed(const std::string &body) {
    const uint32_t crc = shard_crc32(0, reinterpret_cast<const unsigned char *>(body.data()),
                                     static_cast<int64_t>(body.size()));
    const uint64_t length = 20 + body.size() + 4;
    std::string bytes = "\x89LXS\r\n\x1a\n"
                        "\x01\0\0\0"s;
    for (int k = 0; k < 8; k++)
        bytes += static_cast<char>(length >> (8 * k));
    bytes += body;
    for (int k = 0; k < 4; k++)
        bytes += static_cast<char>(crc >> (8 * k));
    return bytes;
}

const Contents small = {
    {{"can't open", "missing", "No such file or directory"},
     {"can't read", "\x01", "Is a directory"}},
    {"", "a.c", "b\nc"},
    {{"9abc", {{1, {1}}}},
     {"int", {{1, {1, 2}}, {2, {8388607}}}},
     {"x", {{0, {3, 7, 3, 7}}, {2, {2}}}}},
};

TEST(ShardTest, Crc32OfKnownTexts) {
    const auto crc = [](const std::string &s) {
        return shard_crc32(0, reinterpret_cast<const unsigned char *>(s.data()),
                           static_cast<int64_t>(s.size()));
    };
    EXPECT_EQ(crc(""), 0u);
    EXPECT_EQ(crc("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    // Continued in two pieces, cut anywhere, it is the same.
    std::string text;
    std::mt19937 rng(1);
    for (int i = 0; i < 100; i++)
        text += static_cast<char>(rng());
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    for (int64_t cut = 0; cut <= 100; cut++)
        EXPECT_EQ(shard_crc32(shard_crc32(0, p, cut), p + cut, 100 - cut), crc(text)) << cut;
}

// The format is the same bytes on every machine: little-endian fixed
// widths, whatever the host's byte order and word size.
TEST(ShardTest, TheBytesOfASmallShard) {
    const std::string body = "\x02\0\0\0" // two diagnostics
                             "\x0a\0\0\0can't open"
                             "\x01\x07\0\0\0missing"
                             "\x19\0\0\0No such file or directory"
                             "\x0a\0\0\0can't read"
                             "\x00"
                             "\x0e\0\0\0Is a directory"
                             "\x00" // indexed
                             "\x03\0\0\0"
                             "\0\0\0\0"
                             "\x03\0\0\0a.c"
                             "\x03\0\0\0b\nc" // names
                             "\x04\0\0\0"
                             "9abc"
                             "\x01\0\0\0"
                             "\x01\0\0\0\x01\0\0\0"
                             "\x01\0\0"
                             "\x03\0\0\0"
                             "int"
                             "\x02\0\0\0"
                             "\x01\0\0\0\x02\0\0\0"
                             "\x01\0\0\x02\0\0"
                             "\x02\0\0\0\x01\0\0\0"
                             "\xff\xff\x7f"
                             "\x01\0\0\0"
                             "x"
                             "\x02\0\0\0"
                             "\0\0\0\0\x04\0\0\0"
                             "\x03\0\0\x07\0\0\x03\0\0\x07\0\0"
                             "\x02\0\0\0\x01\0\0\0"
                             "\x02\0\0"
                             "\0\0\0\0"s; // the end of the index
    EXPECT_EQ(written(small), sealed(body));
}

TEST(ShardTest, WhatIsWrittenReadsBack) {
    std::mt19937 rng(2026);
    std::vector<Contents> cases = {small, Contents{}};
    // Random indexes: names from a small set, sorted identifiers, line
    // numbers that never repeat the one before.
    for (int round = 0; round < 50; round++) {
        Contents c;
        const int names = std::uniform_int_distribution<int>(0, 6)(rng);
        for (int n = 0; n < names; n++)
            c.names.push_back(std::string(1, static_cast<char>('a' + n)) + std::to_string(rng()));
        if (names > 0)
            for (int i = std::uniform_int_distribution<int>(0, 40)(rng); i > 0; i--) {
                Identifier id{"id" + std::to_string(c.index.size() + 1000), {}};
                for (int n = 0; n < names; n++) {
                    if (rng() % 2 != 0)
                        continue;
                    File file{static_cast<uint32_t>(n), {}};
                    for (int k = std::uniform_int_distribution<int>(1, 30)(rng); k > 0; k--) {
                        uint32_t v = std::uniform_int_distribution<uint32_t>(1, 8388607)(rng);
                        if (file.numbers.empty() || file.numbers.back() != v)
                            file.numbers.push_back(v);
                    }
                    id.files.push_back(file);
                }
                if (!id.files.empty())
                    c.index.push_back(id);
            }
        if (round % 5 == 0)
            c.diagnostics.push_back({"can't open", "p" + std::to_string(round), "why"});
        cases.push_back(c);
    }
    for (const Contents &c : cases) {
        ShardReader reader(file_of(written(c)), "shard");
        ASSERT_EQ(reader.check(), nullptr);
        EXPECT_FALSE(reader.raised());
        EXPECT_TRUE(read_back(reader) == c);
    }
}

TEST(ShardTest, ARaiseReadsBackWithWhatIsAbsent) {
    struct Case {
        const char *reason, *file;
        int32_t line;
    };
    const Case cases[] = {{"Overflow", "src/mp.cpp", 517}, {nullptr, nullptr, 0}, {"", "", -1}};
    for (const Case &c : cases) {
        const int fd = file_of("");
        ShardWriter writer(fd);
        writer.diagnostics(diagnostics_of(small));
        RaiseRecord raise;
        raise.set(c.reason, c.file, c.line);
        writer.raised(raise);
        ASSERT_EQ(writer.finish(), 0);
        ShardReader reader(fd, "shard");
        ASSERT_EQ(reader.check(), nullptr);
        ASSERT_TRUE(reader.raised());
        EXPECT_EQ(reader.diagnostics().count(), 2);
        EXPECT_STREQ(reader.raise().reason(), c.reason);
        EXPECT_STREQ(reader.raise().file(), c.file);
        EXPECT_EQ(reader.raise().line(), c.line);
    }
}

// Every single changed byte, every truncation and any byte added is refused,
// each with what its place in the file says.
TEST(ShardTest, EveryDamageIsRefused) {
    const std::string good = written(small);
    ASSERT_EQ(refusal(good), "");
    for (size_t at = 0; at < good.size(); at++)
        for (int mask : {0x01, 0x80, 0xff}) {
            std::string bad = good;
            bad[at] = static_cast<char>(bad[at] ^ mask);
            const std::string why = refusal(bad);
            SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(mask));
            if (at < 8)
                EXPECT_EQ(why, "is not a lexspot shard");
            else if (at < 12)
                EXPECT_THAT(why, testing::StartsWith("is a shard of version "));
            else if (at < 20)
                EXPECT_THAT(why, testing::AnyOf(testing::StartsWith("is truncated: it has "),
                                                testing::StartsWith("has "),
                                                testing::StartsWith("is truncated: it ends")));
            else
                EXPECT_EQ(why, "is corrupted: its checksum does not match its contents");
        }
    for (size_t size = 0; size < good.size(); size++) {
        SCOPED_TRACE("cut to " + std::to_string(size));
        const std::string why = refusal(good.substr(0, size));
        if (size == 0)
            EXPECT_EQ(why, "is empty");
        else if (size < 8)
            EXPECT_EQ(why, "is not a lexspot shard");
        else if (size < 20)
            EXPECT_EQ(why, "is truncated: it ends in its header");
        else
            EXPECT_EQ(why, "is truncated: it has " + std::to_string(size) + " of its " +
                               std::to_string(good.size()) + " bytes");
    }
    EXPECT_EQ(refusal(good + '\0'), "has 1 byte after its end at " + std::to_string(good.size()));
}

std::string u32(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

std::string text(const std::string &s) {
    return u32(static_cast<uint32_t>(s.size())) + s;
}

// What a checksum cannot catch, because the writer was wrong: everything
// the merge relies on is checked too.
TEST(ShardTest, WhatTheMergeReliesOnIsChecked) {
    const std::string indexed = u32(0) + "\x00"s; // no diagnostics; indexed
    const std::string names_ab = u32(2) + text("a") + text("b");
    const std::string end = u32(0);
    // An identifier with one file of the given numbers.
    const auto entry = [](const std::string &id, uint32_t name, const std::vector<uint32_t> &n) {
        return text(id) + u32(1) + u32(name) + u32(static_cast<uint32_t>(n.size())) +
               numbers_bytes(n);
    };
    struct Case {
        const char *what;
        std::string body;
        std::string why; // "" when accepted
    };
    const Case cases[] = {
        {"the smallest index", indexed + u32(0) + end, ""},
        {"a sound one", indexed + names_ab + entry("x", 0, {1, 2, 1}) + entry("y", 1, {5}) + end,
         ""},
        {"names out of order", indexed + u32(2) + text("b") + text("a") + end,
         "is malformed: its file names are not in strictly ascending order"},
        {"a name twice", indexed + u32(2) + text("a") + text("a") + end,
         "is malformed: its file names are not in strictly ascending order"},
        {"identifiers out of order",
         indexed + names_ab + entry("y", 0, {1}) + entry("x", 0, {1}) + end,
         "is malformed: its identifiers are not in strictly ascending order"},
        {"an identifier twice", indexed + names_ab + entry("x", 0, {1}) + entry("x", 1, {1}) + end,
         "is malformed: its identifiers are not in strictly ascending order"},
        {"files out of order",
         indexed + names_ab + text("x") + u32(2) + u32(1) + u32(1) + numbers_bytes({1}) + u32(0) +
             u32(1) + numbers_bytes({1}) + end,
         "is malformed: an identifier's files are not in strictly ascending order"},
        {"a file number out of range", indexed + names_ab + entry("x", 2, {1}) + end,
         "is malformed: a file number is out of range"},
        {"no files", indexed + names_ab + text("x") + u32(0) + end,
         "is malformed: a count or length is too small"},
        {"no numbers", indexed + names_ab + text("x") + u32(1) + u32(0) + u32(0) + end,
         "is malformed: a count or length is too small"},
        {"line 0", indexed + names_ab + entry("x", 0, {0}) + end,
         "is malformed: a line number is out of range"},
        {"line 8,388,608", indexed + names_ab + entry("x", 0, {8388608}) + end,
         "is malformed: a line number is out of range"},
        {"a number repeated", indexed + names_ab + entry("x", 0, {4, 4}) + end,
         "is malformed: a line number repeats the one before it"},
        {"no end", indexed + names_ab + entry("x", 0, {1}),
         "is malformed: its contents run past their end"},
        {"bytes after the end", indexed + names_ab + end + "z",
         "is malformed: bytes follow the end of its contents"},
        {"a count beyond the file", indexed + names_ab + text("x") + u32(0x7fffffff) + end,
         "is malformed: its contents run past their end"},
        {"an outcome of 2", u32(0) + "\x02"s,
         "is malformed: its outcome is neither indexed nor raised"},
        {"a diagnostic's name flag of 2",
         u32(1) + text("can't open") + "\x02"s + text("r") + indexed.substr(4) + u32(0) + end,
         "is malformed: a diagnostic's name is neither absent nor present"},
        {"a NUL in a reason",
         u32(1) + text("can't open") + "\x00"s + text("a\0b"s) + indexed.substr(4) + u32(0) + end,
         "is malformed: a diagnostic or raise holds a NUL byte"},
        {"a raise followed by more", u32(0) + "\x01\x00\x00"s + u32(5) + "x",
         "is malformed: bytes follow the end of its contents"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(refusal(sealed(c.body)), c.why);
    }
}

// Merged into a shard: the file names renumbered into their union, each
// path's numbers joined in shard order, a number equal to the last one
// before it skipped where two shards meet.
TEST(ShardTest, MergeIntoAShard) {
    const Contents first = {
        {{"can't open", "m1", "r1"}},
        {"b", "d"},
        {{"x", {{0, {3}}, {1, {1, 2}}}}, {"y", {{1, {9}}}}},
    };
    const Contents second = {
        {{"can't read", "\x01", "r2"}},
        {"a", "b", "c"},
        {{"w", {{2, {4}}}}, {"x", {{0, {5}}, {1, {3, 7}}, {2, {1}}}}},
    };
    const Contents merged = {
        {{"can't open", "m1", "r1"}, {"can't read", "\x01", "r2"}},
        {"a", "b", "c", "d"},
        {{"w", {{2, {4}}}},
         {"x", {{0, {5}}, {1, {3, 7}}, {2, {1}}, {3, {1, 2}}}},
         {"y", {{3, {9}}}}},
    };
    ShardReader a(file_of(written(first)), "first"), b(file_of(written(second)), "second");
    ASSERT_EQ(a.check(), nullptr);
    ASSERT_EQ(b.check(), nullptr);
    ShardReader *const shards[] = {&a, &b};
    const int fd = file_of("");
    ShardWriter writer(fd);
    ASSERT_EQ(merge_shard(shards, 2, &writer, "test", "out"), 0);
    const std::string bytes = contents_of(fd);
    close(fd);
    EXPECT_EQ(bytes, written(merged));

    // The skip where two shards meet: b's 3 follows a's 3 for "b".
    const Contents repeated = {{}, {"b"}, {{"x", {{0, {3}}}}}};
    ShardReader c(file_of(written(repeated)), "c"), d(file_of(written(first)), "d");
    ASSERT_EQ(c.check(), nullptr);
    ASSERT_EQ(d.check(), nullptr);
    ShardReader *const pair[] = {&c, &d};
    const int fd2 = file_of("");
    ShardWriter writer2(fd2);
    ASSERT_EQ(merge_shard(pair, 2, &writer2, "test", "out"), 0);
    const Contents joined = {{{"can't open", "m1", "r1"}},
                             {"b", "d"},
                             {{"x", {{0, {3}}, {1, {1, 2}}}}, {"y", {{1, {9}}}}}};
    EXPECT_EQ(contents_of(fd2), written(joined));
    close(fd2);
}

} // namespace

// SPDX-License-Identifier: MIT

// Feeds the input to lexspot-parallel's shard reader as a shard file. The
// first byte chooses how: bit 0 seals the rest (writes its true length into
// the header and its checksum into the trailer), so that most inputs get
// past the checksum to the structural checks; bit 1 also writes a good
// magic number and version first. Whatever the reader accepts must stream
// without error, and a merge of it alone must write it back byte for byte:
// every sound shard has one encoding, so a reader that let anything
// unsound through, or misread a sound one, is caught.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_support.hpp"
#include "lexspot-parallel/merge.hpp"
#include "lexspot-parallel/shard.hpp"

using namespace lexspot;

namespace {

int memory_file(const std::string &bytes) {
    const int fd = memfd_create("shard", 0);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        fuzz::fail("shard_fuzz", "can't make a file in memory");
    return fd;
}

std::string contents_of(int fd) {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()))) > 0;)
        bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
}

void seal(std::string &bytes, bool header) {
    if (header && bytes.size() >= 12)
        bytes.replace(0, 12, "\x89LXS\r\n\x1a\n\x01\0\0\0", 12);
    if (bytes.size() < 24)
        return;
    const uint64_t length = bytes.size();
    for (int k = 0; k < 8; k++)
        bytes[12 + k] = static_cast<char>(length >> (8 * k));
    const uint32_t crc = shard_crc32(0, reinterpret_cast<const unsigned char *>(bytes.data()) + 20,
                                     static_cast<int64_t>(bytes.size()) - 24);
    for (int k = 0; k < 4; k++)
        bytes[bytes.size() - 4 + k] = static_cast<char>(crc >> (8 * k));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
    if ((data[0] & 1) != 0)
        seal(bytes, (data[0] & 2) != 0);

    ShardReader reader(memory_file(bytes), "input");
    if (reader.check() != nullptr)
        return 0;
    ShardReader *const shards[] = {&reader};
    const int out = memory_file("");
    ShardWriter writer(out);
    if (merge_shard(shards, 1, &writer, "shard_fuzz", "output") != 0)
        fuzz::fail("shard_fuzz", "an accepted shard did not merge");
    if (contents_of(out) != bytes)
        fuzz::fail("shard_fuzz", "an accepted shard of %zu bytes merged into other bytes",
                   bytes.size());
    close(out);
    return 0;
}

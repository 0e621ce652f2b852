// SPDX-License-Identifier: MIT

// Indexing into a shard.
#include "map.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

// The sanitizers bring an allocator of their own, in front of the C
// library's.
#if defined(__SANITIZE_ADDRESS__)
#define LEXSPOT_FOREIGN_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LEXSPOT_FOREIGN_MALLOC 1
#endif
#endif

namespace lexspot {

// An index is a web of small blocks over hundreds of MiB, and every lookup
// walks a chain of them, a different page at each step: with 4 KiB pages
// nearly every step misses the TLB, and every page faults when first
// touched. In transparent huge pages, indexing the kernel's sources takes
// half the time. The heap is grown once by a large block, which is advised
// and freed at once; malloc then carves the index out of that space and
// keeps it there, since neither mmap nor trimming takes it elsewhere.
// Untouched, the space costs nothing but addresses. Where there are no such
// pages, no such malloc, or another allocator in front of it (the
// sanitizers'), this does nothing.
void map_use_huge_pages() {
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE) && !defined(LEXSPOT_FOREIGN_MALLOC)
    constexpr size_t huge = size_t{2} << 20;
    // A quarter of a 32-bit address space at most.
    constexpr size_t reserve = sizeof(void *) >= 8 ? size_t{1} << 30 : size_t{1} << 28;
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(std::min<size_t>(2 * reserve, INT32_MAX)));
    void *block = std::malloc(reserve);
    if (block == nullptr)
        return;
    // The huge pages wholly inside the block.
    const size_t skip = (huge - reinterpret_cast<uintptr_t>(block) % huge) % huge;
    const size_t length = (reserve - skip) & ~(huge - 1);
    if (length > 0)
        (void)madvise(static_cast<char *>(block) + skip, length, MADV_HUGEPAGE);
    std::free(block);
#endif
}

namespace {

void keep_diagnostic(void *closure, const char *what, const char *name, int error) {
    static_cast<DiagnosticList *>(closure)->add(what, name, std::strerror(error));
}

// What the drain writes to: the shard, and the sorted distinct file names
// the entries are numbered by.
struct Drain {
    ShardWriter *writer;
    const Text *names;
    int64_t name_count;
};

void drain_identifier(void *closure, const Text *identifier, int32_t files) {
    static_cast<Drain *>(closure)->writer->identifier(identifier, files);
}

void drain_file(void *closure, const Text *name, const unsigned char *numbers, int32_t count) {
    auto *drain = static_cast<Drain *>(closure);
    // Every name indexed is among the run's names; the names are sorted.
    int64_t low = 0, high = drain->name_count;
    while (high - low > 1) {
        int64_t middle = low + (high - low) / 2;
        if (text_compare(*name, drain->names[middle]) < 0)
            high = middle;
        else
            low = middle;
    }
    drain->writer->file(static_cast<uint32_t>(low), count);
    drain->writer->numbers(numbers, count);
}

} // namespace

void MapRun::index(const char *const *paths, int64_t count) {
    paths_ = paths;
    count_ = paths != nullptr ? count : 0;
    const IndexDiagnostics diagnostics = {keep_diagnostic, &diagnostics_};
    EXCEPTION_TRY {
        index_start(&index_);
        if (paths == nullptr)
            index_stream(&index_, nullptr, stdin, diagnostics);
        else
            for (int64_t i = 0; i < count_; i++)
                index_path(&index_, paths[i], diagnostics);
    }
    EXCEPTION_HANDLER(frame) {
        exception_ = frame.exception;
        file_ = frame.file;
        line_ = frame.line;
    }
    EXCEPTION_END
}

int MapRun::write(ShardWriter &writer) {
    writer.diagnostics(diagnostics_);
    if (raised()) {
        RaiseRecord raise;
        raise.set(exception_->reason, file_, line_);
        writer.raised(raise);
        return writer.finish();
    }

    // The names the entries are numbered by: the paths, sorted, each once;
    // the empty name for standard input.
    Buffer<Text> names;
    if (paths_ == nullptr)
        names.push_back(text_wrap("", 0));
    else
        for (int64_t i = 0; i < count_; i++)
            names.push_back(text_wrap(paths_[i], static_cast<int>(std::strlen(paths_[i]))));
    shard_sort_names(&names);
    writer.names(names.data(), names.size());

    Drain drain = {&writer, names.data(), names.size()};
    index_drain(&index_, {drain_identifier, drain_file, &drain});
    return writer.finish();
}

void MapRun::end_as_raised(const char *program) {
    diagnostics_.replay(program);
    raise_exception(exception_, file_, line_);
}

} // namespace lexspot

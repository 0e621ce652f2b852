// SPDX-License-Identifier: MIT

// Indexing into a shard.
#include "map.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lexspot {

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

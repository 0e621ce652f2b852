// SPDX-License-Identifier: MIT

// The streaming merge of shards.
#include "merge.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/index.hpp"
#include "core/report.hpp"

namespace lexspot {

namespace {

// One file of the identifier being merged: a shard's entry, under its name's
// number in the union. Sorted by name, then by shard, they give the merged
// files with each path's numbers in shard order.
struct Segment {
    uint32_t name;
    uint32_t shard;
    const ShardFile *file;
};

int compare_segments(const void *x, const void *y) {
    const auto *a = static_cast<const Segment *>(x);
    const auto *b = static_cast<const Segment *>(y);
    if (a->name != b->name)
        return a->name < b->name ? -1 : 1;
    return a->shard < b->shard ? -1 : a->shard > b->shard ? 1 : 0;
}

class Merge {
  public:
    // Output goes to `writer`, or is printed when it is null.
    Merge(ShardReader *const *shards, int64_t count, ShardWriter *writer)
        : shards_(shards), count_(count), writer_(writer) {}

    // Merges the indexes. Returns false when a shard no longer reads as it
    // did; its `error()` says why.
    bool run(ShardReader **failed);

  private:
    void unite_names();
    bool advance(int64_t shard);
    bool before(int64_t a, int64_t b) const;
    void push(int64_t shard);
    int64_t pop();
    void join(const Text &identifier);
    template <typename F>
    void for_each_piece(int64_t i, int64_t end, F f) const;

    ShardReader *const *shards_;
    int64_t count_;
    ShardWriter *writer_;
    ShardReader *failed_ = nullptr;

    Buffer<Text> names_;          // the union of the shards' names, sorted
    Buffer<uint32_t> renumbered_; // each shard's names' numbers in the union, one run per shard
    Buffer<int64_t> first_name_;  // where each shard's run starts in renumbered_
    Buffer<int64_t> heap_;        // shards with a current identifier
    Buffer<int64_t> group_;       // the shards whose identifier is being joined, in order
    Buffer<Segment> segments_;
};

void Merge::unite_names() {
    for (int64_t s = 0; s < count_; s++)
        names_.append(shards_[s]->names(), shards_[s]->name_count());
    shard_sort_names(&names_);

    // Each shard's names are sorted too: one walk along the union each.
    for (int64_t s = 0; s < count_; s++) {
        first_name_.push_back(renumbered_.size());
        const Text *names = shards_[s]->names();
        int64_t at = 0;
        for (int64_t i = 0; i < shards_[s]->name_count(); i++) {
            while (text_compare(names_[at], names[i]) < 0)
                at++;
            renumbered_.push_back(static_cast<uint32_t>(at));
        }
    }
}

// Loads the shard's next identifier; false when it has none left (or fails).
bool Merge::advance(int64_t shard) {
    if (shards_[shard]->next())
        return true;
    if (shards_[shard]->error() != nullptr && failed_ == nullptr)
        failed_ = shards_[shard];
    return false;
}

// Heap order: by identifier, then by shard, so that equal identifiers leave
// the heap in shard order.
bool Merge::before(int64_t a, int64_t b) const {
    int c = text_compare(shards_[a]->block().identifier, shards_[b]->block().identifier);
    return c < 0 || (c == 0 && a < b);
}

void Merge::push(int64_t shard) {
    heap_.push_back(shard);
    for (int64_t i = heap_.size() - 1; i > 0;) {
        int64_t parent = (i - 1) / 2;
        if (!before(heap_[i], heap_[parent]))
            break;
        std::swap(heap_[i], heap_[parent]);
        i = parent;
    }
}

int64_t Merge::pop() {
    int64_t top = heap_[0];
    heap_[0] = heap_.back();
    heap_.resize(heap_.size() - 1);
    for (int64_t i = 0;;) {
        int64_t least = i, left = 2 * i + 1, right = left + 1;
        if (left < heap_.size() && before(heap_[left], heap_[least]))
            least = left;
        if (right < heap_.size() && before(heap_[right], heap_[least]))
            least = right;
        if (least == i)
            break;
        std::swap(heap_[i], heap_[least]);
        i = least;
    }
    return top;
}

// Calls `f(numbers, count)` with the numbers of segments [i, end), one path's
// in shard order: a shard's first number is left out when it equals the last
// number before it, the last of the shards before it with this path.
template <typename F>
void Merge::for_each_piece(int64_t i, int64_t end, F f) const {
    const unsigned char *last = nullptr;
    for (int64_t k = i; k < end; k++) {
        const ShardFile &file = *segments_[k].file;
        const bool skip =
            last != nullptr && std::memcmp(last, file.numbers, index_number_size) == 0;
        if (!skip)
            f(file.numbers, file.count);
        else if (file.count > 1)
            f(file.numbers + index_number_size, file.count - 1);
        last = file.numbers + static_cast<int64_t>(file.count - 1) * index_number_size;
    }
}

// Emits one identifier from the shards in `group_`, its files joined.
void Merge::join(const Text &identifier) {
    segments_.clear();
    for (int64_t g = 0; g < group_.size(); g++) {
        const int64_t s = group_[g];
        const ShardBlock &block = shards_[s]->block();
        const uint32_t *renumbered = renumbered_.data() + first_name_[s];
        for (int32_t f = 0; f < block.file_count; f++)
            segments_.push_back(
                {renumbered[block.files[f].name], static_cast<uint32_t>(g), &block.files[f]});
    }
    // A single shard's files are in order already.
    if (group_.size() > 1)
        std::qsort(segments_.data(), static_cast<size_t>(segments_.size()), sizeof(Segment),
                   compare_segments);

    if (writer_ != nullptr) {
        int32_t files = 0;
        for (int64_t i = 0; i < segments_.size(); i++)
            files += i == 0 || segments_[i].name != segments_[i - 1].name ? 1 : 0;
        writer_->identifier(&identifier, files);
    } else {
        report_identifier(&identifier);
    }

    for (int64_t i = 0, end; i < segments_.size(); i = end) {
        for (end = i + 1; end < segments_.size() && segments_[end].name == segments_[i].name;)
            end++;
        if (writer_ != nullptr) {
            int64_t total = 0;
            for_each_piece(i, end, [&](const unsigned char *, int32_t count) { total += count; });
            writer_->file(segments_[i].name, total);
            for_each_piece(i, end, [&](const unsigned char *numbers, int32_t count) {
                writer_->numbers(numbers, count);
            });
        } else {
            report_file(&names_[segments_[i].name]);
            for_each_piece(i, end, report_numbers);
            report_end_file();
        }
    }
}

bool Merge::run(ShardReader **failed) {
    unite_names();
    if (writer_ != nullptr)
        writer_->names(names_.data(), names_.size());
    for (int64_t s = 0; s < count_; s++)
        if (advance(s))
            push(s);
    while (!heap_.empty() && failed_ == nullptr) {
        group_.clear();
        const int64_t first = pop();
        group_.push_back(first);
        // Valid until `first` advances, which is after the join.
        const Text identifier = shards_[first]->block().identifier;
        while (!heap_.empty() &&
               text_compare(shards_[heap_[0]]->block().identifier, identifier) == 0)
            group_.push_back(pop());
        join(identifier);
        for (int64_t g = 0; g < group_.size(); g++)
            if (advance(group_[g]))
                push(group_[g]);
    }
    *failed = failed_;
    return failed_ == nullptr;
}

void report_changed(const char *program, const ShardReader *shard) {
    std::fprintf(stderr, "%s: %s no longer reads as it did: it %s\n", program, shard->label(),
                 shard->error());
}

} // namespace

int merge_report(ShardReader *const *shards, int64_t count, const char *program) {
    report_setup();
    for (int64_t s = 0; s < count; s++) {
        shards[s]->diagnostics().replay(program);
        if (shards[s]->raised())
            shards[s]->raise().replay();
    }
    Merge merge(shards, count, nullptr);
    ShardReader *failed = nullptr;
    if (!merge.run(&failed)) {
        report_changed(program, failed);
        return 1;
    }
    return report_finish(program);
}

int merge_shard(ShardReader *const *shards, int64_t count, ShardWriter *writer, const char *program,
                const char *out_name) {
    DiagnosticList diagnostics;
    const ShardReader *raised = nullptr;
    for (int64_t s = 0; s < count && raised == nullptr; s++) {
        diagnostics.add_all(shards[s]->diagnostics());
        if (shards[s]->raised())
            raised = shards[s];
    }
    writer->diagnostics(diagnostics);
    if (raised != nullptr) {
        writer->raised(raised->raise());
    } else {
        Merge merge(shards, count, writer);
        ShardReader *failed = nullptr;
        if (!merge.run(&failed)) {
            report_changed(program, failed);
            return 1;
        }
    }
    if (int error = writer->finish(); error != 0) {
        std::fprintf(stderr, "%s: can't write '%s' (%s)\n", program, out_name,
                     std::strerror(error));
        return 1;
    }
    return 0;
}

} // namespace lexspot

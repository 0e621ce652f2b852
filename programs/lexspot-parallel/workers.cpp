// SPDX-License-Identifier: MIT

// The shard plan, the worker processes and the merge of their shards.
#include "workers.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cleanup.hpp"
#include "map.hpp"
#include "merge.hpp"
#include "shard.hpp"

namespace lexspot {

namespace {

// Cuts [0, count) into exactly `want` runs, none empty, the k-th ending
// nearest to where k/want of the total weight is reached: an argument goes
// before that point when its middle does. (In doubles: weights are byte
// counts, far below 2^53, so the sums are exact.)
void plan_exactly(const int64_t *weights, int64_t count, int64_t total, int64_t want,
                  Buffer<int64_t> *starts) {
    starts->push_back(0);
    int64_t i = 0;
    double prefix = 0;
    for (int64_t k = 1; k < want; k++) {
        const double target =
            static_cast<double>(total) * static_cast<double>(k) / static_cast<double>(want);
        const int64_t least = starts->back() + 1, most = count - (want - k);
        while (i < most && (i < least || prefix + static_cast<double>(weights[i]) / 2 < target))
            prefix += static_cast<double>(weights[i++]);
        starts->push_back(i);
    }
}

} // namespace

void plan_shards(const int64_t *weights, int64_t count, int64_t jobs, int64_t shards, int64_t most,
                 Buffer<int64_t> *starts) {
    starts->clear();
    int64_t total = 0;
    for (int64_t i = 0; i < count; i++)
        total += weights[i];
    if (shards > 0) {
        plan_exactly(weights, count, total, std::min({shards, count, most}), starts);
        return;
    }

    int64_t want = std::max((total + shard_bytes - 1) / shard_bytes, jobs * shards_per_job);
    want = std::min({want, count, most});
    // Each shard closes once it reaches the average; a file above the
    // average closes the shard before it and stands alone.
    const int64_t average = std::max<int64_t>(total / want, 1);
    starts->push_back(0);
    int64_t held = 0;
    for (int64_t i = 0; i < count; i++) {
        if (held > 0 && weights[i] > average) {
            starts->push_back(i);
            held = 0;
        }
        held += weights[i];
        if (held >= average && i + 1 < count) {
            starts->push_back(i + 1);
            held = 0;
        }
    }
    // Alone, large files can leave small shards between them; should that
    // make too many, the exact cut keeps to the most.
    if (starts->size() > most) {
        starts->clear();
        plan_exactly(weights, count, total, most, starts);
    }
}

namespace {

struct Shard {
    int64_t first, end; // its arguments
    int64_t weight;
    bool in_order; // holds a path to read in argument order, one worker at a time
    int fd;        // its unlinked file; -1 before its worker starts
    pid_t pid;
    int status; // its worker's wait status, once done
    bool done;
};

} // namespace

int64_t raise_descriptor_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 256;
    if (limit.rlim_cur < limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 20))
        return 1 << 20;
    return static_cast<int64_t>(limit.rlim_cur);
}

namespace {

// A new temporary file in `dir`, already unlinked: it vanishes with its last
// descriptor. Returns the descriptor, or -1 with errno set.
int make_shard_file(const char *dir) {
    static const char name[] = "/lexspot-parallel-XXXXXX";
    Buffer<char> path;
    path.append(dir, static_cast<int64_t>(std::strlen(dir)));
    path.append(name, sizeof name);
    sigset_t saved;
    cleanup_block(&saved);
    int fd = mkstemp(path.data());
    if (fd >= 0)
        unlink(path.data());
    const int error = errno;
    cleanup_restore(&saved);
    errno = error;
    return fd;
}

// The worker's whole life: index, write the shard, exit. Exits with status
// 0 when the shard is written, whatever it holds.
[[noreturn]] void work(const char *program, const char *const *paths, int64_t count, int fd) {
    map_use_huge_pages();
    int status = 0;
    {
        MapRun run;
        run.index(paths, count);
        ShardWriter writer(fd);
        if (int error = run.write(writer); error != 0) {
            std::fprintf(stderr, "%s: can't write a shard (%s)\n", program, std::strerror(error));
            status = 1;
        }
        // After a raise the index is left as it was, as lexspot leaves it.
        if (run.raised())
            _exit(status);
    }
    std::exit(status);
}

// Starts the worker of `shard`; false with errno set when it cannot.
bool start(Shard &shard, const char *program, const char *const *paths, const char *dir) {
    shard.fd = make_shard_file(dir);
    if (shard.fd < 0)
        return false;
    // Whatever is buffered would be written twice, once by each process.
    std::fflush(nullptr);
    sigset_t saved;
    cleanup_block(&saved);
    const pid_t pid = fork();
    if (pid == 0) {
        cleanup_in_worker(&saved);
        work(program, paths != nullptr ? paths + shard.first : nullptr, shard.end - shard.first,
             shard.fd);
    }
    const int error = errno;
    if (pid > 0) {
        shard.pid = pid;
        cleanup_add_worker(pid);
    }
    cleanup_restore(&saved);
    errno = error;
    return pid > 0;
}

// What a shard is called in messages: its first path and how many follow.
void describe(const Shard &shard, const char *const *paths, Buffer<char> *label) {
    char text[64];
    label->clear();
    if (paths == nullptr) {
        static const char input[] = "standard input";
        label->append(input, sizeof input - 1);
    } else {
        label->push_back('\'');
        label->append(paths[shard.first], static_cast<int64_t>(std::strlen(paths[shard.first])));
        label->push_back('\'');
        const int64_t more = shard.end - shard.first - 1;
        if (more > 0) {
            std::snprintf(text, sizeof text, " and %" PRId64 " more file%s", more,
                          more == 1 ? "" : "s");
            label->append(text, static_cast<int64_t>(std::strlen(text)));
        }
    }
    label->push_back('\0');
}

} // namespace

int run_workers(const char *program, const char *const *paths, int64_t count, int64_t jobs,
                int64_t shards) {
    const int64_t arguments = paths != nullptr ? count : 1;
    // Weights and the paths to read in order.
    Buffer<int64_t> weights;
    Buffer<bool> in_order;
    for (int64_t i = 0; i < arguments; i++) {
        struct stat st;
        bool known = paths != nullptr && stat(paths[i], &st) == 0;
        weights.push_back(1 +
                          (known && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0));
        in_order.push_back(paths == nullptr ||
                           (known && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)));
    }
    const int64_t most = std::max<int64_t>(raise_descriptor_limit() - 64, 1);
    Buffer<int64_t> starts;
    plan_shards(weights.data(), arguments, jobs, shards, most, &starts);
    starts.push_back(arguments);
    const int64_t n = starts.size() - 1;
    Buffer<Shard> plan;
    for (int64_t s = 0; s < n; s++) {
        Shard shard = {starts[s], starts[s + 1], 0, false, -1, 0, 0, false};
        for (int64_t i = shard.first; i < shard.end; i++) {
            shard.weight += weights[i];
            shard.in_order = shard.in_order || in_order[i];
        }
        plan.push_back(shard);
    }

    // The order of starting: the shards read in order, in that order; the
    // others largest first.
    Buffer<int64_t> ordered, free_order;
    for (int64_t s = 0; s < n; s++)
        (plan[s].in_order ? ordered : free_order).push_back(s);
    std::sort(free_order.data(), free_order.data() + free_order.size(),
              [&](int64_t a, int64_t b) { return plan[a].weight > plan[b].weight; });

    const char *dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0')
        dir = "/tmp";
    cleanup_install(jobs);
    int64_t running = 0, done = 0, next_ordered = 0, next_free = 0;
    bool ordered_running = false;
    int failure = 0; // errno of a worker that could not start
    while (done < n) {
        while (failure == 0 && running < jobs) {
            int64_t s;
            if (!ordered_running && next_ordered < ordered.size()) {
                s = ordered[next_ordered++];
                ordered_running = true;
            } else if (next_free < free_order.size()) {
                s = free_order[next_free++];
            } else {
                break;
            }
            if (!start(plan[s], program, paths, dir)) {
                failure = errno;
                cleanup_now();
                break;
            }
            running++;
        }
        if (running == 0)
            break;
        int status;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR)
                continue;
            failure = errno;
            cleanup_now();
            break;
        }
        cleanup_remove_worker(pid);
        for (int64_t s = 0; s < n; s++)
            if (plan[s].pid == pid && !plan[s].done) {
                plan[s].done = true;
                plan[s].status = status;
                ordered_running = ordered_running && !plan[s].in_order;
                running--;
                done++;
                break;
            }
    }

    // In argument order: a worker that did not end well fails the run; a
    // shard that ends in a raise ends the merge there.
    Buffer<ShardReader *> readers;
    Buffer<char> label;
    Buffer<int64_t> label_at;
    Buffer<char> labels;
    for (int64_t s = 0; s < n; s++) {
        describe(plan[s], paths, &label);
        label_at.push_back(labels.size());
        labels.append(label.data(), label.size());
    }
    int status = 0;
    if (failure != 0) {
        std::fprintf(stderr, "%s: can't start a worker (%s)\n", program, std::strerror(failure));
        status = 1;
    }
    int64_t used = 0;
    for (int64_t s = 0; s < n && status == 0; s++) {
        const char *name = labels.data() + label_at[s];
        const int wait = plan[s].status;
        if (WIFSIGNALED(wait)) {
            std::fprintf(stderr, "%s: the worker for %s was killed by signal %d (%s); no report\n",
                         program, name, WTERMSIG(wait), strsignal(WTERMSIG(wait)));
            status = 1;
        } else if (!WIFEXITED(wait) || WEXITSTATUS(wait) != 0) {
            std::fprintf(stderr, "%s: the worker for %s ended with exit status %d; no report\n",
                         program, name, WIFEXITED(wait) ? WEXITSTATUS(wait) : -1);
            status = 1;
        } else {
            readers.push_back(ShardReader::create(plan[s].fd, name));
            plan[s].fd = -1;
            used++;
            if (const char *why = readers.back()->check(); why != nullptr) {
                std::fprintf(stderr, "%s: the shard of %s %s\n", program, name, why);
                status = 1;
            } else if (readers.back()->raised()) {
                break;
            }
        }
    }
    for (int64_t s = 0; s < n; s++)
        if (plan[s].fd >= 0)
            close(plan[s].fd);
    if (status == 0)
        status = merge_report(readers.data(), used, program);
    for (int64_t r = 0; r < readers.size(); r++)
        ShardReader::destroy(readers[r]);
    return status;
}

} // namespace lexspot

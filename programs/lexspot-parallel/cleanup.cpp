// SPDX-License-Identifier: MIT

// Signal-time clean-up. The handler only reads the lists and calls
// async-signal-safe functions (kill, unlink, sigaction, raise).
#include "cleanup.hpp"

#include <unistd.h>

#include <lexspot/mem.hpp>

namespace lexspot {

namespace {

constexpr int handled[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGABRT};

pid_t *workers;
int64_t worker_count;
const char *volatile file;

void clean() {
    for (int64_t i = 0; i < worker_count; i++)
        kill(workers[i], SIGKILL);
    if (const char *path = file)
        unlink(path);
}

void on_signal(int signal) {
    clean();
    // Ends the process by the same signal, pending until this returns.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    (void)raise(signal);
}

} // namespace

void cleanup_install(int64_t most_workers) {
    workers =
        static_cast<pid_t *>(mem_allocate(most_workers * static_cast<int64_t>(sizeof(pid_t))));
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : handled)
        sigaddset(&action.sa_mask, signal);
    for (int signal : handled) {
        // A signal ignored when the program started stays ignored, as
        // nohup and the shells' background jobs expect.
        struct sigaction old;
        sigaction(signal, nullptr, &old);
        if (old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

void cleanup_block(sigset_t *saved) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : handled)
        sigaddset(&set, signal);
    sigprocmask(SIG_BLOCK, &set, saved);
}

void cleanup_restore(const sigset_t *saved) {
    sigprocmask(SIG_SETMASK, saved, nullptr);
}

void cleanup_add_worker(pid_t pid) {
    sigset_t saved;
    cleanup_block(&saved);
    workers[worker_count++] = pid;
    cleanup_restore(&saved);
}

void cleanup_remove_worker(pid_t pid) {
    sigset_t saved;
    cleanup_block(&saved);
    for (int64_t i = 0; i < worker_count; i++)
        if (workers[i] == pid) {
            workers[i] = workers[--worker_count];
            break;
        }
    cleanup_restore(&saved);
}

void cleanup_set_file(const char *path) {
    file = path;
}

void cleanup_now() {
    sigset_t saved;
    cleanup_block(&saved);
    clean();
    worker_count = 0;
    file = nullptr;
    cleanup_restore(&saved);
}

void cleanup_in_worker(const sigset_t *saved) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : handled) {
        struct sigaction old;
        sigaction(signal, nullptr, &old);
        if (old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
    worker_count = 0;
    file = nullptr;
    cleanup_restore(saved);
}

} // namespace lexspot

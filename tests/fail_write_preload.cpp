// SPDX-License-Identifier: MIT

// A preloadable shim that fails one write(2) to standard output of a whole
// process and lets every other write through.
//
//     LD_PRELOAD=liblexspot_fail_write_preload.so LEXSPOT_FAIL_WRITE=k program ...
//
// makes the k-th write call on file descriptor 1 (1-based) fail with EIO,
// writing nothing; with k unset or 0 none fails.
//
// Defining `write` would not do: the C library's stdio calls its own
// internal entry to the system call, which no preloaded symbol replaces. So
// a seccomp filter traps the system call itself, write on descriptor 1, to a
// SIGSYS handler that either returns the error or performs the write with
// writev, which the filter lets through. The registers read are those of
// x86-64; elsewhere, or where seccomp is refused, the shim says so on
// standard error and ends the process with status 77 before main.
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

// Ends the process before main with a reason on standard error.
[[noreturn]] void unavailable(const char *reason) {
    const char prefix[] = "fail_write_preload: ";
    ssize_t written = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    written = write(STDERR_FILENO, reason, std::strlen(reason));
    written = write(STDERR_FILENO, "\n", 1);
    (void)written;
    _exit(77);
}

#if defined(__x86_64__)

int64_t writes = 0; // to standard output so far
int64_t chosen = 0; // the write to fail; 0 for none

// Runs in place of each trapped write: the system call's arguments and its
// result are in the interrupted context's registers.
void on_sigsys(int, siginfo_t *, void *context) {
    greg_t *regs = static_cast<ucontext_t *>(context)->uc_mcontext.gregs;
    const int saved = errno;
    int64_t result = -EIO;
    if (++writes != chosen) {
        iovec data = {reinterpret_cast<void *>(regs[REG_RSI]), static_cast<size_t>(regs[REG_RDX])};
        result = syscall(SYS_writev, static_cast<int>(regs[REG_RDI]), &data, 1);
        if (result < 0)
            result = -errno;
    }
    regs[REG_RAX] = result;
    errno = saved;
}

__attribute__((constructor)) void install() {
    for (const char *p = std::getenv("LEXSPOT_FAIL_WRITE"); p != nullptr && *p >= '0' && *p <= '9';
         ++p)
        chosen = 10 * chosen + (*p - '0');

    struct sigaction action = {};
    action.sa_sigaction = on_sigsys;
    action.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &action, nullptr) != 0)
        unavailable("cannot handle SIGSYS");

    // Trap write(1, ...) of this architecture; allow everything else. The
    // descriptor is the low word of the first argument.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, STDOUT_FILENO, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        unavailable(std::strerror(errno));
}

#else

__attribute__((constructor)) void install() {
    unavailable("no support for this architecture");
}

#endif

} // namespace

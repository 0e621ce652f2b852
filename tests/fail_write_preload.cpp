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
// writev, which the filter lets through. It knows the registers of x86-64,
// i386, 32-bit ARM (EABI) and s390x; elsewhere, or where seccomp is refused
// (qemu-user refuses it to the programs it runs), the shim says so on
// standard error and ends the process with status 77 before main.
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

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
[[noreturn]] void unavailable(const char *reason, const char *detail = "") {
    const char prefix[] = "fail_write_preload: ";
    ssize_t written = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    written = write(STDERR_FILENO, reason, std::strlen(reason));
    written = write(STDERR_FILENO, detail, std::strlen(detail));
    written = write(STDERR_FILENO, "\n", 1);
    (void)written;
    _exit(77);
}

// Where this architecture keeps a trapped system call's arguments (0 to 2)
// and its result in the interrupted context, and its seccomp audit tag.
#if defined(__x86_64__)
#define LEXSPOT_SECCOMP_ARCH AUDIT_ARCH_X86_64
auto &argument(mcontext_t &c, int k) {
    return c.gregs[k == 0 ? REG_RDI : k == 1 ? REG_RSI : REG_RDX];
}
auto &result_of(mcontext_t &c) {
    return c.gregs[REG_RAX];
}
#elif defined(__i386__)
#define LEXSPOT_SECCOMP_ARCH AUDIT_ARCH_I386
auto &argument(mcontext_t &c, int k) {
    return c.gregs[k == 0 ? REG_EBX : k == 1 ? REG_ECX : REG_EDX];
}
auto &result_of(mcontext_t &c) {
    return c.gregs[REG_EAX];
}
#elif defined(__arm__) && defined(__ARM_EABI__)
#define LEXSPOT_SECCOMP_ARCH AUDIT_ARCH_ARM
auto &argument(mcontext_t &c, int k) {
    return k == 0 ? c.arm_r0 : k == 1 ? c.arm_r1 : c.arm_r2;
}
auto &result_of(mcontext_t &c) {
    return c.arm_r0;
}
#elif defined(__s390x__)
#define LEXSPOT_SECCOMP_ARCH AUDIT_ARCH_S390X
auto &argument(mcontext_t &c, int k) {
    return c.gregs[2 + k];
}
auto &result_of(mcontext_t &c) {
    return c.gregs[2];
}
#endif

#if defined(LEXSPOT_SECCOMP_ARCH)

int64_t writes = 0; // to standard output so far
int64_t chosen = 0; // the write to fail; 0 for none

// Runs in place of each trapped write: the system call's arguments and its
// result are in the interrupted context's registers.
void on_sigsys(int, siginfo_t *, void *context) {
    mcontext_t &registers = static_cast<ucontext_t *>(context)->uc_mcontext;
    const int saved = errno;
    int64_t result = -EIO;
    if (++writes != chosen) {
        iovec data = {reinterpret_cast<void *>(argument(registers, 1)),
                      static_cast<size_t>(argument(registers, 2))};
        result = syscall(SYS_writev, static_cast<int>(argument(registers, 0)), &data, 1);
        if (result < 0)
            result = -errno;
    }
    // In the register's own type: on 32-bit machines -EIO and byte counts fit.
    using Register = std::remove_reference_t<decltype(result_of(registers))>;
    result_of(registers) = static_cast<Register>(result);
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
    // descriptor is the low word of the first argument, which a big-endian
    // machine stores second.
    constexpr uint32_t low_word = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, LEXSPOT_SECCOMP_ARCH, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0]) + low_word),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, STDOUT_FILENO, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        unavailable("no seccomp filter can be installed here: ", std::strerror(errno));
}

#else

__attribute__((constructor)) void install() {
    unavailable("no support for this architecture");
}

#endif

} // namespace

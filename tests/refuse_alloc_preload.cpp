// SPDX-License-Identifier: MIT

// A preloadable shim that refuses one allocation request of a whole process,
// including those made inside libc (stdio's buffers, fopen's stream records).
//
//     LD_PRELOAD=liblexspot_refuse_alloc_preload.so LEXSPOT_REFUSE_REQUEST=k program ...
//
// makes the k-th malloc, calloc or realloc call (1-based) return null with
// errno ENOMEM; every other call goes to libc's allocator.
//
//     LD_PRELOAD=liblexspot_refuse_alloc_preload.so LEXSPOT_COUNT_REQUESTS=path program ...
//
// refuses nothing and, when the process exits normally, writes the number of
// requests it made, in decimal, to the file `path`.
//
// Only system calls are used to report, so that reporting makes no request.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);

namespace {

int64_t requests = 0; // made so far
int64_t refused = -1; // the request to refuse; 0 for none, -1 before the environment is read

// Counts a request; true when it is the one to refuse.
bool refuse() {
    if (refused < 0) {
        // getenv makes no request.
        const char *k = std::getenv("LEXSPOT_REFUSE_REQUEST");
        refused = 0;
        for (const char *p = k; p != nullptr && *p >= '0' && *p <= '9'; ++p)
            refused = 10 * refused + (*p - '0');
    }
    if (++requests != refused)
        return false;
    errno = ENOMEM;
    return true;
}

__attribute__((destructor)) void write_count() {
    const char *path = std::getenv("LEXSPOT_COUNT_REQUESTS");
    if (path == nullptr)
        return;
    char digits[24];
    char *end = digits + sizeof digits, *p = end;
    int64_t n = requests;
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return;
    ssize_t written = write(fd, p, static_cast<size_t>(end - p));
    (void)written;
    close(fd);
}

} // namespace

extern "C" void *malloc(size_t size) {
    return refuse() ? nullptr : __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) {
    return refuse() ? nullptr : __libc_calloc(count, size);
}

extern "C" void *realloc(void *block, size_t size) {
    return refuse() ? nullptr : __libc_realloc(block, size);
}

// SPDX-License-Identifier: MIT

// lexspot-parallel: lexspot's report from every core, and from many
// machines.
//
//     lexspot-parallel [-j JOBS] [--shards=N] [--files0-from=FILE] [--] [FILE...]
//     lexspot-parallel --shard=OUT [--files0-from=FILE | [--] FILE...]
//     lexspot-parallel --merge [--output=OUT] SHARD...
//
// The first form indexes the files in worker processes and prints the merge
// of their shards (workers.hpp); the second indexes them into one shard (the
// map step, map.hpp); the third merges shards (the reduce step, merge.hpp).
// Whatever the way, what reaches the user is what lexspot would print for
// the same paths, with this program's name in the diagnostics.
//
// Usage errors get one line naming the problem, a pointer to --help and exit
// status 2; failures of the program itself (a list or shard that cannot be
// read, a worker that died) one line and exit status 1.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "buffer.hpp"
#include "cleanup.hpp"
#include "map.hpp"
#include "merge.hpp"
#include "shard.hpp"
#include "workers.hpp"

using namespace lexspot;

namespace {

const char *program_name;

[[noreturn]] void usage_error(const char *format, const char *argument) {
    std::fprintf(stderr, "%s: ", program_name);
    std::fprintf(stderr, format, argument);
    std::fprintf(stderr, "\nTry '%s --help' for more information.\n", program_name);
    std::exit(2);
}

void print_help() {
    std::printf("Usage: %s [-j JOBS] [--shards=N] [--files0-from=FILE] [--] [FILE]...\n"
                "  or:  %s --shard=OUT [--files0-from=FILE | [--] FILE...]\n"
                "  or:  %s --merge [--output=OUT] SHARD...\n"
                "Print lexspot's cross-reference of the FILEs, or of standard input when no\n"
                "FILE is named, indexed by worker processes on every processor; or index the\n"
                "FILEs into a shard; or merge shards made on any machine.\n"
                "\n"
                "  -j, --jobs=JOBS         run at most JOBS workers at once (default: the\n"
                "                            number of online processors)\n"
                "      --shards=N          cut the FILEs into N shards (default: by their sizes)\n"
                "      --files0-from=FILE  read the paths from FILE, each ended by a NUL byte;\n"
                "                            from standard input when FILE is -\n"
                "      --shard=OUT         write the shard of the FILEs to OUT\n"
                "      --merge             print the merge of the SHARDs, in the order given\n"
                "      --output=OUT        with --merge, write the merged shard to OUT\n"
                "      --help              display this help and exit\n"
                "      --version           output version information and exit\n"
                "\n"
                "What is printed is lexspot's output for the same paths, byte for byte: the\n"
                "report, the diagnostics, the exit status, and the uncaught-exception report\n"
                "and abort where lexspot ends so. A merge prints it for the shards' paths\n"
                "one after the other. See lexspot-parallel(1).\n",
                program_name, program_name, program_name);
}

// A count of 1 to `most` from an option's argument, all of it decimal.
int64_t parse_count(const char *argument, int64_t most, const char *what) {
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(argument, &end, 10);
    if (errno != 0 || end == argument || *end != '\0' || value < 1 || value > most ||
        !(*argument >= '0' && *argument <= '9'))
        usage_error(what, argument);
    return value;
}

// The paths of a --files0-from list, each ended by a NUL (the last may end
// with the file instead), in `*bytes`; `*paths` points into it. A list that
// cannot be read ends the program.
void read_list(const char *list, Buffer<char> *bytes, Buffer<const char *> *paths) {
    const bool from_stdin = std::strcmp(list, "-") == 0;
    const int fd = from_stdin ? STDIN_FILENO : open(list, O_RDONLY);
    int error = fd < 0 ? errno : 0;
    while (error == 0) {
        bytes->reserve(bytes->size() + (1 << 16));
        const int64_t at = bytes->size();
        bytes->resize(at + (1 << 16));
        const ssize_t got = read(fd, bytes->data() + at, 1 << 16);
        bytes->resize(at + (got > 0 ? got : 0));
        if (got == 0)
            break;
        if (got < 0 && errno != EINTR)
            error = errno;
    }
    if (fd >= 0 && !from_stdin)
        close(fd);
    if (error != 0) {
        std::fprintf(stderr, "%s: can't read the list of files '%s' (%s)\n", program_name, list,
                     std::strerror(error));
        std::exit(1);
    }
    if (!bytes->empty() && bytes->back() != '\0')
        bytes->push_back('\0');
    for (int64_t at = 0; at < bytes->size();) {
        paths->push_back(bytes->data() + at);
        at += static_cast<int64_t>(std::strlen(bytes->data() + at)) + 1;
    }
}

// A temporary file beside `out`, to be renamed over it once whole; listed
// for removal should the program end early. Returns its descriptor, or -1
// after a message.
int create_beside(const char *out, Buffer<char> *temporary) {
    static const char suffix[] = ".XXXXXX";
    temporary->clear();
    temporary->append(out, static_cast<int64_t>(std::strlen(out)));
    temporary->append(suffix, sizeof suffix);
    sigset_t saved;
    cleanup_block(&saved);
    const int fd = mkstemp(temporary->data());
    const int error = errno;
    if (fd >= 0)
        cleanup_set_file(temporary->data());
    cleanup_restore(&saved);
    if (fd < 0) {
        std::fprintf(stderr, "%s: can't write '%s' (%s)\n", program_name, out,
                     std::strerror(error));
        return -1;
    }
    // As if created by open(2): what the umask allows of 0666, not mkstemp's 0600.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

// Closes the temporary file and, when it is `whole`, renames it to `out`;
// otherwise, or when that fails, removes it. Returns the exit status.
int settle(int fd, const char *temporary, const char *out, bool whole) {
    int error = close(fd) != 0 ? errno : 0;
    if (whole && error == 0 && rename(temporary, out) != 0)
        error = errno;
    if (!whole || error != 0)
        unlink(temporary);
    cleanup_set_file(nullptr);
    if (whole && error != 0)
        std::fprintf(stderr, "%s: can't write '%s' (%s)\n", program_name, out,
                     std::strerror(error));
    return whole && error == 0 ? 0 : 1;
}

// The map step: the paths (standard input when null) into the shard `out`.
int map(const char *out, const char *const *paths, int64_t count) {
    cleanup_install(1);
    Buffer<char> temporary;
    const int fd = create_beside(out, &temporary);
    if (fd < 0)
        return 1;
    map_use_huge_pages();
    MapRun run;
    run.index(paths, count);
    if (run.raised()) {
        // No shard: the run ends as lexspot's would.
        cleanup_now();
        close(fd);
        run.end_as_raised(program_name);
    }
    ShardWriter writer(fd);
    const int error = run.write(writer);
    if (error != 0)
        std::fprintf(stderr, "%s: can't write '%s' (%s)\n", program_name, out,
                     std::strerror(error));
    return settle(fd, temporary.data(), out, error == 0);
}

// The reduce step: the shards merged into the report, or into the shard
// `out` when it is not null.
int reduce(const char *out, char *const *names, int64_t count) {
    cleanup_install(1);
    raise_descriptor_limit();
    // Every shard is opened and checked before anything is written.
    Buffer<char> labels;
    Buffer<int64_t> label_at;
    for (int64_t s = 0; s < count; s++) {
        label_at.push_back(labels.size());
        static const char shard[] = "shard '";
        labels.append(shard, sizeof shard - 1);
        labels.append(names[s], static_cast<int64_t>(std::strlen(names[s])));
        labels.append("'", 2);
    }
    Buffer<ShardReader *> readers;
    int status = 0;
    for (int64_t s = 0; s < count && status == 0; s++) {
        const int fd = open(names[s], O_RDONLY);
        if (fd < 0) {
            std::fprintf(stderr, "%s: can't open shard '%s' (%s)\n", program_name, names[s],
                         std::strerror(errno));
            status = 1;
            break;
        }
        readers.push_back(ShardReader::create(fd, labels.data() + label_at[s]));
        if (const char *why = readers.back()->check(); why != nullptr) {
            std::fprintf(stderr, "%s: %s %s\n", program_name, readers.back()->label(), why);
            status = 1;
        }
    }
    if (status == 0 && out == nullptr)
        status = merge_report(readers.data(), count, program_name);
    if (status == 0 && out != nullptr) {
        Buffer<char> temporary;
        const int fd = create_beside(out, &temporary);
        status = 1;
        if (fd >= 0) {
            ShardWriter writer(fd);
            const bool whole = merge_shard(readers.data(), count, &writer, program_name, out) == 0;
            status = settle(fd, temporary.data(), out, whole);
        }
    }
    for (int64_t r = 0; r < readers.size(); r++)
        ShardReader::destroy(readers[r]);
    return status;
}

} // namespace

int main(int argc, char *argv[]) {
    program_name = argv[0];
    // A standard stream that is closed stays unusable, as it is for lexspot,
    // but its descriptor is taken, so that no file this program opens, a
    // shard above all, becomes standard input or output: /dev/null opened
    // the wrong way round fails every read or write with EBADF, as a closed
    // descriptor does. (The lowest free descriptor is the one filled.)
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    enum {
        shards_option = 256,
        files0_option,
        shard_option,
        merge_option,
        output_option,
        help_option,
        version_option
    };
    static const option options[] = {
        {"jobs", required_argument, nullptr, 'j'},
        {"shards", required_argument, nullptr, shards_option},
        {"files0-from", required_argument, nullptr, files0_option},
        {"shard", required_argument, nullptr, shard_option},
        {"merge", no_argument, nullptr, merge_option},
        {"output", required_argument, nullptr, output_option},
        {"help", no_argument, nullptr, help_option},
        {"version", no_argument, nullptr, version_option},
        {nullptr, 0, nullptr, 0},
    };
    int64_t jobs = 0, shards = 0;
    const char *files0 = nullptr, *shard = nullptr, *output = nullptr;
    bool merge = false, jobs_given = false;
    for (int c; (c = getopt_long(argc, argv, "j:", options, nullptr)) != -1;) {
        switch (c) {
        case 'j':
            jobs = parse_count(optarg, 65536, "invalid number of jobs: '%s' (1 to 65536)");
            jobs_given = true;
            break;
        case shards_option:
            shards = parse_count(optarg, INT32_MAX, "invalid number of shards: '%s'");
            break;
        case files0_option: files0 = optarg; break;
        case shard_option: shard = optarg; break;
        case merge_option: merge = true; break;
        case output_option: output = optarg; break;
        case help_option:
            print_help();
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        case version_option:
            std::printf("lexspot-parallel (lexspot) %s\n", LEXSPOT_VERSION);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        default: // getopt_long has said what is wrong
            std::fprintf(stderr, "Try '%s --help' for more information.\n", program_name);
            return 2;
        }
    }
    char **operands = argv + optind;
    const int64_t operand_count = argc - optind;

    // The options that go together.
    if (shard != nullptr && merge)
        usage_error("%s", "--shard and --merge cannot be combined");
    if (output != nullptr && !merge)
        usage_error("%s", "--output goes with --merge");
    if ((shard != nullptr || merge) && (jobs_given || shards > 0))
        usage_error("%s", "-j and --shards go with neither --shard nor --merge");
    if (merge && files0 != nullptr)
        usage_error("%s", "--files0-from does not go with --merge");
    if (merge && operand_count == 0)
        usage_error("%s", "--merge needs at least one shard");
    if (files0 != nullptr && operand_count > 0)
        usage_error("extra operand '%s'\nfile operands cannot be combined with --files0-from",
                    operands[0]);

    if (merge)
        return reduce(output, operands, operand_count);

    // The paths: the list, the operands, or none for standard input.
    Buffer<char> list_bytes;
    Buffer<const char *> list;
    const char *const *paths = operands;
    int64_t count = operand_count;
    if (files0 != nullptr) {
        read_list(files0, &list_bytes, &list);
        paths = list.data();
        count = list.size();
        // An empty list names no file: an empty report, not standard input.
        if (count == 0 && shard == nullptr)
            return 0;
        static const char *const none[] = {nullptr};
        if (count == 0)
            paths = none;
    } else if (count == 0) {
        paths = nullptr;
    }

    if (shard != nullptr)
        return map(shard, paths, count);
    if (!jobs_given) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        jobs = online > 0 ? online : 1;
    }
    return run_workers(program_name, paths, count, jobs, shards);
}

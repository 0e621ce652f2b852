// SPDX-License-Identifier: MIT

// End-to-end tests of lexspot-parallel, most of them differential: given the
// same paths, it must write what lexspot writes, byte for byte, on standard
// output and standard error, and end the same way. Both programs run under
// one name, "xref", so that each diagnostic must carry the name the program
// was invoked by.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program_test.hpp"
#include "test_support.hpp"

namespace {

using namespace lexspot;
using namespace std::string_literals;
using Args = std::vector<std::string>;

// How a run ended, as text for messages: "exit 0", "signal 6".
std::string ending(const Outcome &run) {
    if (WIFEXITED(run.status))
        return "exit " + std::to_string(WEXITSTATUS(run.status));
    if (WIFSIGNALED(run.status))
        return "signal " + std::to_string(WTERMSIG(run.status));
    return "wait status " + std::to_string(run.status);
}

// Arguments shown with their hostile bytes escaped.
std::string shown(const Args &args) {
    std::string text;
    for (const std::string &arg : args) {
        text += " '";
        for (unsigned char c : arg)
            if (c < 32 || c > 126) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                text += hex;
            } else {
                text += static_cast<char>(c);
            }
        text += "'";
    }
    return text;
}

const std::string t_c = "int x12 = 9abc;\nx12++;\n";

// Text with many identifiers and line breaks, now and then a long line, a
// NUL or a byte above 127.
std::string random_text(std::mt19937 &rng, int most) {
    static const std::string alphabet = "abcxyzABCXYZ_019 aaeeiioo__  \n\n\n";
    std::uniform_int_distribution<int> kind(0, 99), any_byte(0, 255);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string text;
    const int n = std::uniform_int_distribution<int>(0, most)(rng);
    for (int i = 0; i < n; i++) {
        const int k = kind(rng);
        if (k < 2)
            text += std::string(std::uniform_int_distribution<size_t>(400, 1200)(rng),
                                alphabet[pick(rng)]);
        else if (k < 5)
            text += static_cast<char>(any_byte(rng));
        else
            text += alphabet[pick(rng)];
    }
    return text;
}

// Paths to files whose names and contents a report, a shard or a merge
// could get wrong, and to what cannot be read.
using Corpus = std::vector<std::string>;

class ParallelTest : public ProgramTest {
  protected:
    Outcome lexspot(const Args &args, const Streams &streams = {}) {
        Args argv = {"xref"};
        argv.insert(argv.end(), args.begin(), args.end());
        return execute(LEXSPOT_PROGRAM, argv, streams);
    }

    // lexspot-parallel with `options`, then "--" and the paths.
    Outcome parallel(const Args &options, const Args &paths = {}, const Streams &streams = {},
                     const Args &settings = {}) {
        Args argv = {"xref"};
        argv.insert(argv.end(), options.begin(), options.end());
        if (!paths.empty())
            argv.push_back("--");
        argv.insert(argv.end(), paths.begin(), paths.end());
        return execute(LEXSPOT_PARALLEL_PROGRAM, argv, streams, settings);
    }

    // lexspot-parallel with `options` on `paths` says `want`, what lexspot
    // says on them.
    void expect_same(const Outcome &want, const Args &options, const Args &paths,
                     const Streams &streams = {}) {
        SCOPED_TRACE("paths" + shown(paths) + ", options" + shown(options));
        Outcome got = parallel(options, paths, streams);
        EXPECT_EQ(got.out, want.out);
        EXPECT_EQ(got.err, want.err);
        EXPECT_EQ(ending(got), ending(want));
    }

    // The same, asking lexspot first; returns what lexspot said.
    Outcome expect_same(const Args &options, const Args &paths, const Streams &streams = {}) {
        Outcome want = lexspot(paths, streams);
        expect_same(want, options, paths, streams);
        return want;
    }

    // Writes the hostile corpus into the test's directory.
    Corpus corpus(std::mt19937 &rng) {
        const std::vector<std::pair<std::string, std::string>> files = {
            {"plain.c", t_c},
            {"empty", ""},
            {"binary", random_text(rng, 200) + "\0\x01\xff int\0x y\x80z\n"s},
            {"crlf.txt", "int a;\r\nb c\r\n\r\nd\r\n"},
            {"no-newline", "first\nlast line"},
            {"long lines", std::string(700, 'q') + " tail\n" + std::string(511, ' ') + "\nx\n"},
            {"tab\tname", random_text(rng, 3000)},
            {"new\nline", random_text(rng, 3000)},
            {"x\n\ty: 1", random_text(rng, 3000)},
            {"colon: 1", random_text(rng, 3000)},
            {"a:b:c", random_text(rng, 3000)},
            {"with space", random_text(rng, 3000)},
            {"\xff\xfe\x80 latin", random_text(rng, 3000)},
            {"-dash", random_text(rng, 3000)},
            {"--", random_text(rng, 2000)},
        };
        Corpus paths;
        for (const auto &[name, content] : files) {
            write(name, content);
            paths.push_back(name);
        }
        EXPECT_EQ(mkdir(path("dir").c_str(), 0700), 0);
        paths.insert(paths.end(), {"./plain.c", "missing", "plain.c/x", "dir"});
        return paths;
    }

    Streams stdin_from(const std::string &name, const std::string &content) {
        write(name, content);
        Streams streams;
        streams.stdin_path = path(name);
        return streams;
    }
};

Args random_paths(std::mt19937 &rng, const Corpus &corpus, int most) {
    Args paths;
    const int n = std::uniform_int_distribution<int>(1, most)(rng);
    for (int i = 0; i < n; i++)
        paths.push_back(corpus[std::uniform_int_distribution<size_t>(0, corpus.size() - 1)(rng)]);
    return paths;
}

TEST_F(ParallelTest, SameOutputAsLexspotOnAHostileCorpus) {
    std::mt19937 rng(20261211);
    const Corpus files = corpus(rng);
    for (int round = 0; round < 12; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Args paths = random_paths(rng, files, 10);
        const std::string more_than_paths = "--shards=" + std::to_string(paths.size() + 3);
        // One job, two over two shards, three with more shards asked for
        // than there are paths, and the default plan.
        const Outcome want = lexspot(paths);
        for (const Args &options : {Args{"-j", "1"}, Args{"-j", "2", "--shards=2"},
                                    Args{"-j", "3", more_than_paths}, Args{}})
            expect_same(want, options, paths);
    }
}

TEST_F(ParallelTest, EveryPathInItsOwnShardAndAllInOne) {
    // The same path in one shard and across several: where two shards meet,
    // a number equal to the last one recorded is skipped (here b's 3).
    write("f", "\n\na b\n\n\n\nb\n");
    write("g", "b\n\na\n");
    for (const Args &paths : {Args{"f", "f"}, Args{"f", "g", "f", "g", "f"}})
        for (const std::string &shards : {"1"s, "2"s, std::to_string(paths.size())})
            expect_same({"-j", "2", "--shards=" + shards}, paths);
    EXPECT_EQ(parallel({"--shards=2"}, {"f", "f"}).out, "a\tf: 3\nb\tf: 3 7 3 7\n");
}

TEST_F(ParallelTest, StandardInputAsLexspotReadsIt) {
    std::mt19937 rng(7);
    for (int round = 0; round < 4; round++) {
        const Streams streams = stdin_from("input", random_text(rng, 20000));
        const Outcome want = lexspot({}, streams);
        for (const Args &options : {Args{}, Args{"-j", "3"}})
            expect_same(want, options, {}, streams);
    }
    // A lone hyphen names a file, as it does for lexspot.
    expect_same({}, {"-"}, stdin_from("input", t_c));
}

TEST_F(ParallelTest, StandardStreamsClosedOrFull) {
    write("t.c", t_c);
    Streams closed_in, closed_out, full;
    closed_in.stdin_path = "";
    closed_out.stdout_path = "-";
    full.stdout_path = "/dev/full";
    // A closed standard input cannot be read; a report that cannot be
    // written fails, and no shard ends up on a closed descriptor.
    expect_same({}, {}, closed_in);
    for (const Streams &streams : {closed_out, full}) {
        expect_same({"-j", "2", "--shards=2"}, {"t.c", "t.c"}, streams);
        expect_same({}, {"missing"}, streams);
    }
}

// The 24-bit line number overflows when advanced after the 8,388,607th
// piece of a stream.
constexpr int32_t max_line = 8388607;

TEST_F(ParallelTest, TheLineLimitEndsTheRunAsItEndsLexspot) {
    write("t.c", t_c);
    write("big", "a\n" + std::string(max_line - 2, '\n') + "z\n");
    // The diagnostic before the failing stream is written, those after it
    // are not, nothing reaches standard output, and the run aborts.
    const Args paths = {"missing", "t.c", "big", "gone", "t.c"};
    const std::regex report("xref: can't open 'missing' \\([^)]*\\)\n"
                            "Uncaught exception Overflow raised at src/mp\\.cpp:[1-9][0-9]*\n"
                            "aborting\\.\\.\\.\n");
    const Outcome want = lexspot(paths);
    EXPECT_TRUE(killed_by(want, SIGABRT)) << ending(want);
    EXPECT_EQ(want.out, "");
    EXPECT_TRUE(std::regex_match(want.err, report)) << want.err;
    for (const Args &options : {Args{"-j", "2", "--shards=5"}, Args{"-j", "1", "--shards=2"}})
        expect_same(want, options, paths);
}

// The process other than this one that has `path` open, or 0. `path` is
// absolute.
pid_t holder_of(const std::string &path) {
    DIR *proc = opendir("/proc");
    pid_t found = 0;
    for (dirent *entry; proc != nullptr && found == 0 && (entry = readdir(proc)) != nullptr;) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0 || pid == getpid())
            continue;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        DIR *dir = opendir(fds.c_str());
        for (dirent *fd; dir != nullptr && found == 0 && (fd = readdir(dir)) != nullptr;) {
            char target[4096];
            const std::string link = fds + "/" + fd->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
                found = pid;
        }
        if (dir != nullptr)
            closedir(dir);
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

// Whether `pid` is gone or a zombie.
bool ended(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.size() < paren + 3 || stat[paren + 2] == 'Z' ||
           stat[paren + 2] == 'X';
}

// A FIFO that a run will open for reading and block on: the test holds its
// writing end, without writing, for as long as it likes.
class Fifo {
  public:
    explicit Fifo(std::string path) : path_(std::move(path)) {
        EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0) << std::strerror(errno);
    }
    ~Fifo() {
        if (fd_ >= 0)
            close(fd_);
        unlink(path_.c_str());
    }
    Fifo(const Fifo &) = delete;
    Fifo &operator=(const Fifo &) = delete;

    // Waits until a reader has it open, and returns that reader.
    pid_t wait_for_reader() {
        for (int tries = 0; fd_ < 0 && tries < 6000; tries++) {
            fd_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd_ < 0)
                usleep(10000);
        }
        EXPECT_GE(fd_, 0) << "no reader opened " << path_;
        // The reader may still be inside open(2), its descriptor not yet
        // listed under /proc.
        pid_t reader = 0;
        for (int tries = 0; fd_ >= 0 && reader == 0 && tries < 6000; tries++) {
            reader = holder_of(std::filesystem::canonical(path_).string());
            if (reader == 0)
                usleep(10000);
        }
        return reader;
    }

  private:
    std::string path_;
    int fd_ = -1;
};

TEST_F(ParallelTest, AWorkerKilledFailsTheRunAndNamesItsShard) {
    write("a.c", t_c);
    write("b.c", t_c);
    struct Case {
        Args options;
        Args paths;
        std::string err;
    };
    const Case cases[] = {
        {{"-j", "2", "--shards=3"},
         {"a.c", "slow", "b.c"},
         "xref: the worker for 'slow' was killed by signal 9 (Killed); no report\n"},
        {{"-j", "1", "--shards=1"},
         {"slow", "a.c", "b.c"},
         "xref: the worker for 'slow' and 2 more files was killed by signal 9 (Killed); no "
         "report\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(shown(c.options));
        Fifo fifo(path("slow"));
        const Args argv = [&] {
            Args all = {"xref"};
            all.insert(all.end(), c.options.begin(), c.options.end());
            all.insert(all.end(), c.paths.begin(), c.paths.end());
            return all;
        }();
        const pid_t run = launch(LEXSPOT_PARALLEL_PROGRAM, argv);
        const pid_t worker = fifo.wait_for_reader();
        ASSERT_GT(worker, 0);
        ASSERT_NE(worker, run);
        ASSERT_EQ(kill(worker, SIGKILL), 0);
        const Outcome outcome = collect(run);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(ending(outcome), "exit 1");
    }
}

// The names in directory `dir`, sorted.
std::vector<std::string> listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(ParallelTest, ASignalLeavesNoWorkerAndNoFileBehind) {
    write("a.c", t_c);
    ASSERT_EQ(mkdir(path("tmp").c_str(), 0700), 0);
    const Args settings = {"TMPDIR=" + path("tmp")};
    struct Case {
        int signal;
        Args options;   // before the paths a.c and slow
        bool in_worker; // slow is read by a worker, else by the program itself
    };
    const Case cases[] = {
        {SIGTERM, {"-j", "2", "--shards=2"}, true},
        {SIGINT, {"-j", "2", "--shards=2"}, true},
        {SIGTERM, {"--shard=out"}, false},
        {SIGINT, {"--shard=out"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.signal) + shown(c.options));
        Fifo fifo(path("slow"));
        Args argv = {"xref"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.insert(argv.end(), {"a.c", "slow"});
        const pid_t run = launch(LEXSPOT_PARALLEL_PROGRAM, argv, {}, settings);
        const pid_t reader = fifo.wait_for_reader();
        ASSERT_GT(reader, 0);
        EXPECT_EQ(reader != run, c.in_worker);
        ASSERT_EQ(kill(run, c.signal), 0);
        const Outcome outcome = collect(run);
        EXPECT_TRUE(killed_by(outcome, c.signal)) << ending(outcome);
        EXPECT_EQ(outcome.out, "");
        // The worker was killed with its parent, and nothing is left in
        // $TMPDIR or beside the shard.
        bool gone = false;
        for (int tries = 0; !gone && tries < 500; tries++) {
            gone = ended(reader);
            if (!gone)
                usleep(10000);
        }
        EXPECT_TRUE(gone) << "the reader " << reader << " still runs";
        EXPECT_THAT(listing(path("tmp")), testing::IsEmpty());
        EXPECT_THAT(listing(path(".")), testing::ElementsAre("a.c", "slow", "tmp"));
    }
}

TEST_F(ParallelTest, MapAndMergeFlatAndAsATree) {
    std::mt19937 rng(11);
    const Corpus files = corpus(rng);
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Three consecutive slices of one argument list, each made into a
        // shard; the map step is silent, its diagnostics kept for the merge.
        const Args paths = random_paths(rng, files, 9);
        std::vector<Args> slices(3);
        for (size_t i = 0; i < paths.size(); i++)
            slices[i * 3 / paths.size()].push_back(paths[i]);
        Args shards;
        for (size_t k = 0; k < slices.size(); k++) {
            const std::string shard = "s" + std::to_string(k);
            const Outcome map = parallel({"--shard=" + shard}, slices[k]);
            EXPECT_EQ(map.out + map.err + ending(map), "exit 0");
            shards.push_back(shard);
        }
        const Outcome want = lexspot(paths);
        const auto expect_want = [&](const Outcome &got) {
            EXPECT_EQ(got.out, want.out);
            EXPECT_EQ(got.err, want.err);
            EXPECT_EQ(ending(got), ending(want));
        };
        // Flat: all three at once.
        Args merge = {"--merge"};
        merge.insert(merge.end(), shards.begin(), shards.end());
        expect_want(parallel(merge));
        // A tree: the first two merged into a shard, then that with the third.
        const Outcome first = parallel({"--merge", "--output=m01", "s0", "s1"});
        EXPECT_EQ(first.out + first.err + ending(first), "exit 0");
        expect_want(parallel({"--merge", "m01", "s2"}));
        // A shard twice is its paths twice.
        Args twice = slices[1];
        twice.insert(twice.end(), slices[1].begin(), slices[1].end());
        const Outcome again = parallel({"--merge", "s1", "s1"});
        const Outcome lexspot_again = lexspot(twice);
        EXPECT_EQ(again.out, lexspot_again.out);
        EXPECT_EQ(again.err, lexspot_again.err);
        // No temporary file is left beside the outputs.
        for (const std::string &name : listing(path(".")))
            EXPECT_THAT(name, testing::Not(testing::ContainsRegex("\\.[A-Za-z0-9]{6}$")));
    }

    // Standard input, mapped and merged.
    const Streams streams = stdin_from("input", random_text(rng, 5000));
    const Outcome map = parallel({"--shard=in"}, {}, streams);
    EXPECT_EQ(map.out + map.err + ending(map), "exit 0");
    const Outcome merged = parallel({"--merge", "in"});
    EXPECT_EQ(merged.out, lexspot({}, streams).out);
}

TEST_F(ParallelTest, AMapThatRaisesLeavesNoShard) {
    write("t.c", t_c);
    write("big", "a\n" + std::string(max_line - 2, '\n') + "z\n");
    const Outcome map = parallel({"--shard=out"}, {"missing", "t.c", "big", "t.c"});
    const Outcome want = lexspot({"missing", "t.c", "big", "t.c"});
    EXPECT_EQ(map.err, want.err);
    EXPECT_EQ(ending(map), ending(want));
    EXPECT_TRUE(killed_by(map, SIGABRT)) << ending(map);
    EXPECT_EQ(map.out, "");
    EXPECT_THAT(listing(path(".")), testing::ElementsAre("big", "t.c"));
}

TEST_F(ParallelTest, DamagedShardsAreRefusedWithOneLine) {
    write("t.c", t_c);
    ASSERT_EQ(parallel({"--shard=good"}, {"t.c"}).status, 0);
    const std::string good = read_file(path("good"));
    ASSERT_GT(good.size(), 40u);
    std::string changed = good, other_version = good;
    changed[good.size() / 2] = static_cast<char>(changed[good.size() / 2] ^ 0x20);
    other_version[8] = 2;
    struct Case {
        const char *what;
        std::string content;
        std::string message;
    };
    const Case cases[] = {
        {"empty", "", "is empty"},
        {"foreign", "int x;\n", "is not a lexspot shard"},
        {"truncated", good.substr(0, good.size() - 3),
         "is truncated: it has " + std::to_string(good.size() - 3) + " of its " +
             std::to_string(good.size()) + " bytes"},
        {"cut in its header", good.substr(0, 10), "is truncated: it ends in its header"},
        {"one byte changed", changed, "is corrupted: its checksum does not match its contents"},
        {"another version", other_version,
         "is a shard of version 2, and this program reads version 1"},
        {"extended", good + "x", "has 1 byte after its end at " + std::to_string(good.size())},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write("bad", c.content);
        // Refused before anything is written, even with a good shard first.
        const Outcome merge = parallel({"--merge", "good", "bad"});
        EXPECT_EQ(merge.out, "");
        EXPECT_EQ(merge.err, "xref: shard 'bad' " + c.message + "\n");
        EXPECT_EQ(ending(merge), "exit 1");
        const Outcome tree = parallel({"--merge", "--output=m", "bad", "good"});
        EXPECT_EQ(tree.err, "xref: shard 'bad' " + c.message + "\n");
        EXPECT_EQ(ending(tree), "exit 1");
        EXPECT_FALSE(std::filesystem::exists(path("m")));
    }
    const Outcome missing = parallel({"--merge", "nothing"});
    EXPECT_EQ(missing.err, "xref: can't open shard 'nothing' ("s + std::strerror(ENOENT) + ")\n");
    EXPECT_EQ(ending(missing), "exit 1");
}

TEST_F(ParallelTest, FilesFromANulSeparatedList) {
    write("a.c", t_c);
    write("new\nline", "new line\n");
    write("tab\tname", "tab\n");
    // An empty name is a path that cannot be opened, as it is for lexspot.
    const Args paths = {"a.c", "new\nline", "missing", "", "tab\tname", "a.c"};
    std::string list;
    for (const std::string &p : paths)
        list += p + '\0';
    const Outcome want = lexspot(paths);
    for (const std::string &content : {list, list.substr(0, list.size() - 1)}) {
        write("list", content);
        const Outcome from_file = parallel({"--files0-from=list"});
        EXPECT_EQ(from_file.out, want.out);
        EXPECT_EQ(from_file.err, want.err);
        const Outcome from_stdin =
            parallel({"--files0-from=-", "-j", "2"}, {}, stdin_from("l", content));
        EXPECT_EQ(from_stdin.out, want.out);
        EXPECT_EQ(from_stdin.err, want.err);
    }
    // An empty list names no file: an empty report, standard input unread.
    write("empty", "");
    const Outcome none = parallel({"--files0-from=empty"}, {}, stdin_from("in", t_c));
    EXPECT_EQ(none.out + none.err + ending(none), "exit 0");
    const Outcome unreadable = parallel({"--files0-from=nolist"});
    EXPECT_EQ(unreadable.err,
              "xref: can't read the list of files 'nolist' ("s + std::strerror(ENOENT) + ")\n");
    EXPECT_EQ(ending(unreadable), "exit 1");
}

TEST_F(ParallelTest, HelpVersionAndUsageErrors) {
    const Outcome help = parallel({"--help"});
    EXPECT_THAT(help.out, testing::StartsWith("Usage: xref [-j JOBS] [--shards=N]"));
    EXPECT_EQ(help.err + ending(help), "exit 0");
    const Outcome version = parallel({"--version"});
    EXPECT_EQ(version.out, "lexspot-parallel (lexspot) " LEXSPOT_VERSION "\n");
    EXPECT_EQ(version.err + ending(version), "exit 0");

    const std::string try_help = "Try 'xref --help' for more information.\n";
    struct Case {
        Args args;
        std::string first_line; // of standard error; the second is try_help
    };
    const Case cases[] = {
        {{"-j", "0"}, "xref: invalid number of jobs: '0' (1 to 65536)"},
        {{"-j", "two"}, "xref: invalid number of jobs: 'two' (1 to 65536)"},
        {{"--shards=-1"}, "xref: invalid number of shards: '-1'"},
        {{"--bogus"}, "xref: unrecognized option '--bogus'"},
        {{"-j"}, "xref: option requires an argument -- 'j'"},
        {{"--files0-from=list", "a.c"},
         "xref: extra operand 'a.c'\nfile operands cannot be combined with --files0-from"},
        {{"--output=o", "a.c"}, "xref: --output goes with --merge"},
        {{"--merge"}, "xref: --merge needs at least one shard"},
        {{"--shard=o", "--merge", "s"}, "xref: --shard and --merge cannot be combined"},
        {{"--merge", "-j", "2", "s"}, "xref: -j and --shards go with neither --shard nor --merge"},
        {{"--merge", "--files0-from=list", "s"}, "xref: --files0-from does not go with --merge"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(shown(c.args));
        const Outcome run = parallel(c.args);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.first_line + "\n" + try_help);
        EXPECT_EQ(ending(run), "exit 2");
    }
}

TEST_F(ParallelTest, NoLeaksUnderValgrind) {
    std::string why;
    const char *valgrind = valgrind_program(&why);
    if (valgrind == nullptr)
        GTEST_SKIP() << why;
    write("t.c", t_c);
    write("long", std::string(600, ' ') + "\n" + t_c);
    ASSERT_EQ(mkdir(path("d").c_str(), 0700), 0);
    const Args all = {"missing", "d", "long", "t.c", "long"};
    const Outcome want = lexspot(all);
    ASSERT_EQ(parallel({"--shard=s1"}, {"t.c", "long"}).status, 0);
    // The workers are checked as well as the program that forks them.
    const Args under_valgrind = {"valgrind",
                                 "-q",
                                 "--error-exitcode=1",
                                 "--leak-check=full",
                                 "--errors-for-leak-kinds=definite,indirect,possible",
                                 LEXSPOT_PARALLEL_PROGRAM};
    struct Leg {
        Args args;
        std::string out, err;
    };
    const Leg legs[] = {
        {{"-j", "2", "--shards=3", "--"}, want.out, want.err},
        {{"--shard=s2", "--"}, "", ""},
        {{"--merge", "s1", "s1"}, lexspot({"t.c", "long", "t.c", "long"}).out, ""},
    };
    for (const Leg &leg : legs) {
        Args argv = under_valgrind;
        argv.insert(argv.end(), leg.args.begin(), leg.args.end());
        if (leg.args.back() == "--")
            argv.insert(argv.end(), all.begin(), all.end());
        const Outcome run = execute(valgrind, argv);
        EXPECT_EQ(run.out, leg.out);
        EXPECT_EQ(run.err, replaced(leg.err, "xref: ", LEXSPOT_PARALLEL_PROGRAM + ": "s));
        EXPECT_EQ(ending(run), "exit 0");
    }
}

} // namespace

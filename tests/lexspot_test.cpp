// SPDX-License-Identifier: MIT

// End-to-end tests of the lexspot program: each runs the built binary in a
// fresh temporary directory on files written there, and compares standard
// output, standard error and the way the process ended byte for byte.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program_test.hpp"
#include "test_support.hpp"

namespace {

using namespace lexspot;
using namespace std::string_literals;

// A line of lexspot's standard error: what failed, then the C library's text
// for the error number.
std::string diagnostic(const std::string &what, int error) {
    return "lexspot: " + what + " (" + std::strerror(error) + ")\n";
}

// The runs' temporary directory and their outcomes: tests/program_test.hpp.
class LexspotTest : public ProgramTest {
  protected:
    // Runs lexspot, invoked as "lexspot", with `args`.
    Outcome lexspot(const std::vector<std::string> &args, const Streams &streams = {}) {
        std::vector<std::string> argv = {"lexspot"};
        argv.insert(argv.end(), args.begin(), args.end());
        return execute(LEXSPOT_PROGRAM, argv, streams);
    }

    // Runs lexspot with no arguments and standard input from a file of `input`.
    Outcome lexspot_stdin(const std::string &input) {
        write(".stdin", input);
        Streams streams;
        streams.stdin_path = path(".stdin");
        return lexspot({}, streams);
    }
};

// The report of one normal run: exit status 0, nothing on standard error
// unless given.
void expect_report(const Outcome &run, const std::string &out, const std::string &err = "") {
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
    EXPECT_TRUE(exited_with(run, 0)) << "wait status " << run.status;
}

const std::string t_c = "int x12 = 9abc;\nx12++;\n";

// Inputs read from one file, named f, or from standard input, with the
// report each gives. The identifier rule, the piece rule and the
// repeated-line rule, each shown on the input that exposes it.
struct Case {
    const char *what;
    std::string input;
    std::string file_report;  // lexspot f
    std::string stdin_report; // lexspot < f
};

const std::string spaces_508(508, ' ');

const Case cases[] = {
    {"the example", t_c, "9abc\tf: 1\nint\tf: 1\nx\tf: 1 2\n", "9abc 1\nint 1\nx 1 2\n"},
    {"empty input", "", "", ""},
    {"no identifiers", "123 + 456\n\n\t!?\n", "", ""},
    {"identifier rule: digits trail, may lead", "0x1F + 1e10\na_1 _ 42\n",
     "0x1F\tf: 1\n1e\tf: 1\n_\tf: 2\na_\tf: 2\n", "0x1F 1\n1e 1\n_ 2\na_ 2\n"},
    // Digit-leading first, then upper case, "_", lower case; a prefix first.
    {"sort order", "zeta _x Zeta\n9abc ab a\nabc A _ 0x1F Z\n",
     "0x1F\tf: 3\n9abc\tf: 2\nA\tf: 3\nZ\tf: 3\nZeta\tf: 1\n_\tf: 3\n_x\tf: 1\n"
     "a\tf: 2\nab\tf: 2\nabc\tf: 3\nzeta\tf: 1\n",
     "0x1F 3\n9abc 2\nA 3\nZ 3\nZeta 1\n_ 3\n_x 1\na 2\nab 2\nabc 3\nzeta 1\n"},
    {"twice on a line is recorded once", "a b a\nb a b a\n\na\n", "a\tf: 1 2 4\nb\tf: 1 2\n",
     "a 1 2 4\nb 1 2\n"},
    // 511 characters fill a piece; its newline is a piece of its own. A line
    // of 600 is cut after 511, through "ab12cd": "ab1" gives ab, "2cd" gives 2cd.
    {"long lines are read in pieces of 511",
     "p" + std::string(509, ' ') + "q\n" + spaces_508 + "ab12cd" + std::string(86, ' ') + "\nr\n",
     "2cd\tf: 4\nab\tf: 3\np\tf: 1\nq\tf: 1\nr\tf: 5\n", "2cd 4\nab 3\np 1\nq 1\nr 5\n"},
    {"510 characters and the newline are one piece", std::string(509, ' ') + "x\ny\n",
     "x\tf: 1\ny\tf: 2\n", "x 1\ny 2\n"},
    {"a NUL hides the rest of its piece", "a\0b\nc\0\nd\n"s, "a\tf: 1\nc\tf: 2\nd\tf: 3\n",
     "a 1\nc 2\nd 3\n"},
    {"a last line without a newline", "x\ny", "x\tf: 1\ny\tf: 2\n", "x 1\ny 2\n"},
    {"bytes above 127 separate identifiers", "\xc3\xa9t\xc3\xa9 na\xefve x\x80y\xff\n",
     "na\tf: 1\nt\tf: 1\nve\tf: 1\nx\tf: 1\ny\tf: 1\n", "na 1\nt 1\nve 1\nx 1\ny 1\n"},
    {"CR and other separators",
     "a\r\nb\tc\fd\x7f"
     "e\x01"
     "f\n",
     "a\tf: 1\nb\tf: 2\nc\tf: 2\nd\tf: 2\ne\tf: 2\nf\tf: 2\n", "a 1\nb 2\nc 2\nd 2\ne 2\nf 2\n"},
};

TEST_F(LexspotTest, ReportsOfOneFileAndOfStandardInput) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write("f", c.input);
        expect_report(lexspot({"f"}), c.file_report);
        expect_report(lexspot_stdin(c.input), c.stdin_report);
    }
}

TEST_F(LexspotTest, FilesAreListedInNameOrder) {
    // Command-line order is not name order; bytes compare unsigned, so the
    // name starting with a byte above 127 comes last.
    write("b.c", "x y\n");
    write("a.c", "\nx\n");
    write("A.c", "\n\nx y\n");
    write("a.cc", "x\n");
    write("\xc3\xa9.c", "y x\n");
    expect_report(lexspot({"b.c", "\xc3\xa9.c", "a.cc", "a.c", "A.c"}),
                  "x\tA.c: 3\n\ta.c: 2\n\ta.cc: 1\n\tb.c: 1\n\t\xc3\xa9.c: 1\n"
                  "y\tA.c: 3\n\tb.c: 1\n\t\xc3\xa9.c: 1\n");
}

TEST_F(LexspotTest, SamePathTwiceSharesOneEntry) {
    // Line 3 holds a and b, line 7 holds b. The second reading restarts at
    // 1: a's 3 repeats the last number and is skipped, b's 3 is not.
    write("f", "\n\na b\n\n\n\nb\n");
    expect_report(lexspot({"f", "f"}), "a\tf: 3\nb\tf: 3 7 3 7\n");
    // Another spelling of the path is another name.
    expect_report(lexspot({"f", "./f"}), "a\t./f: 3\n\tf: 3\nb\t./f: 3 7\n\tf: 3 7\n");
}

TEST_F(LexspotTest, UnopenableFilesAreReportedAndSkipped) {
    write("t.c", t_c);
    const std::string report = "9abc\tt.c: 1\nint\tt.c: 1\nx\tt.c: 1 2\n";
    // A lone hyphen is a file name like any other.
    expect_report(lexspot({"missing", "t.c", "-", "t.c/x"}), report,
                  diagnostic("can't open 'missing'", ENOENT) +
                      diagnostic("can't open '-'", ENOENT) +
                      diagnostic("can't open 't.c/x'", ENOTDIR));
    // Only unopenable files: an empty report, still exit status 0, and
    // standard input is not read.
    Streams streams;
    write("in", "stdin_is_not_read\n");
    streams.stdin_path = path("in");
    expect_report(lexspot({"missing"}, streams), "", diagnostic("can't open 'missing'", ENOENT));
}

TEST_F(LexspotTest, UnreadableFilesAreReportedAndSkipped) {
    // A directory opens but cannot be read.
    ASSERT_EQ(mkdir(path("d").c_str(), 0700), 0);
    write("t.c", t_c);
    expect_report(lexspot({"d", "t.c", "d"}), "9abc\tt.c: 1\nint\tt.c: 1\nx\tt.c: 1 2\n",
                  diagnostic("can't read 'd'", EISDIR) + diagnostic("can't read 'd'", EISDIR));
    // A closed standard input cannot be read either.
    Streams closed;
    closed.stdin_path = "";
    expect_report(lexspot({}, closed), "", diagnostic("can't read standard input", EBADF));
}

TEST_F(LexspotTest, WhatWasReadBeforeAReadErrorIsKept) {
    // Standard input is a socket whose peer is closed with data left unread:
    // the reader gets what was sent, then a reset. (A piece cut short by the
    // error is lost: fgets returns nothing for it.)
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0) << std::strerror(errno);
    ASSERT_EQ(::write(ends[0], "unread", 6), 6);
    ASSERT_EQ(::write(ends[1], "a b\nc\n", 6), 6);
    close(ends[1]);
    Streams streams;
    streams.stdin_fd = ends[0];
    Outcome run = lexspot({}, streams);
    close(ends[0]);
    expect_report(run, "a 1\nb 1\nc 2\n", diagnostic("can't read standard input", ECONNRESET));
}

TEST_F(LexspotTest, AReportThatCannotBeWrittenFails) {
    write("t.c", t_c);
    Streams full;
    full.stdout_path = "/dev/full";
    Outcome run = lexspot({"t.c"}, full);
    EXPECT_EQ(run.err, diagnostic("can't write the report", ENOSPC));
    EXPECT_TRUE(exited_with(run, 1)) << "wait status " << run.status;

    Streams closed;
    closed.stdout_path = "-";
    run = lexspot({"t.c"}, closed);
    EXPECT_EQ(run.err, diagnostic("can't write the report", EBADF));
    EXPECT_TRUE(exited_with(run, 1)) << "wait status " << run.status;

    // An empty report writes nothing, so nothing can fail.
    run = lexspot({"missing"}, full);
    EXPECT_EQ(run.err, diagnostic("can't open 'missing'", ENOENT));
    EXPECT_TRUE(exited_with(run, 0)) << "wait status " << run.status;
}

TEST_F(LexspotTest, AReportOfManyBlocksIsWrittenWholeOrFails) {
    // Many identifiers in one file: the report spans many buffer flushes.
    std::string input, expected;
    for (int i = 0; i < 5000; i++) {
        char id[16];
        std::snprintf(id, sizeof id, "id%05d_", i);
        input += id + "\n"s;
        expected += id + "\tf: "s + std::to_string(i + 1) + "\n";
    }
    write("f", input);
    expect_report(lexspot({"f"}), expected);
    Streams full;
    full.stdout_path = "/dev/full";
    Outcome run = lexspot({"f"}, full);
    EXPECT_EQ(run.err, diagnostic("can't write the report", ENOSPC));
    EXPECT_TRUE(exited_with(run, 1)) << "wait status " << run.status;

#if defined(LEXSPOT_FAIL_WRITE_PRELOAD)
    // Only the first of the report's writes fails; the later ones and the
    // final flush succeed, so only the stream's error flag tells. Into
    // /dev/null, whose block size is 4,096, the report takes many writes
    // wherever the test directory lies.
    Streams null;
    null.stdout_path = "/dev/null";
    run = execute(LEXSPOT_PROGRAM, {LEXSPOT_PROGRAM, "f"}, null,
                  {"LD_PRELOAD=" LEXSPOT_FAIL_WRITE_PRELOAD, "LEXSPOT_FAIL_WRITE=1"});
    if (exited_with(run, 77))
        GTEST_SKIP() << run.err;
    EXPECT_EQ(run.err,
              LEXSPOT_PROGRAM + ": can't write the report ("s + std::strerror(EIO) + ")\n");
    EXPECT_TRUE(exited_with(run, 1)) << "wait status " << run.status;
#endif
}

// The 24-bit line number reaches 8,388,607 at most and is advanced after
// every piece, the last one included: advancing it after the 8,388,607th
// piece overflows, so 8,388,606 pieces is the most one stream may have.
constexpr int32_t max_line = 8388607;

TEST_F(LexspotTest, LargestInputGivesAReport) {
    // 8,388,606 pieces: a on the first, z on the last.
    std::string input = "a\n" + std::string(max_line - 3, '\n') + "z\n";
    write("big", input);
    expect_report(lexspot({"big"}), "a\tbig: 1\nz\tbig: 8388606\n");
}

TEST_F(LexspotTest, LineNumberOverflowEndsTheRunUncaught) {
    // One piece more: 8,388,607. What was indexed before, from another file
    // too, is never printed: the report comes only after all input is read.
    write("t.c", t_c);
    write("big", "a\n" + std::string(max_line - 2, '\n') + "z\n");
    Outcome run = lexspot({"t.c", "big"});
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, ::testing::MatchesRegex("Uncaught exception Overflow raised at "
                                                 "src/mp\\.cpp:[1-9][0-9]*\n"
                                                 "aborting\\.\\.\\.\n"));
    EXPECT_TRUE(killed_by(run, SIGABRT)) << "wait status " << run.status;
}

// An independent model of the program: the same report, computed the plain
// way over whole lines with std containers.
class Model {
  public:
    void index(const std::string &name, const std::string &content) {
        int32_t line = 1;
        for (size_t at = 0; at < content.size(); line++) {
            // One piece: up to and including a newline, at most 511 bytes.
            size_t end = std::min(content.size(), at + 511);
            size_t newline = content.find('\n', at);
            if (newline != std::string::npos && newline < end)
                end = newline + 1;
            std::string piece = content.substr(at, end - at);
            at = end;
            piece = piece.substr(0, piece.find('\0'));
            for (const std::string &id : identifiers(piece)) {
                std::vector<int32_t> &lines = index_[id][name];
                if (lines.empty() || lines.back() != line)
                    lines.push_back(line);
            }
        }
    }

    std::string report() const {
        std::string out;
        for (const auto &[id, files] : index_) {
            out += id;
            for (const auto &[name, lines] : files) {
                if (!name.empty())
                    out += "\t" + name + ":";
                for (int32_t line : lines)
                    out += " " + std::to_string(line);
                out += "\n";
            }
        }
        return out;
    }

  private:
    static bool is_rest(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    }

    // Maximal runs of letters, digits and underscores, less their trailing
    // digits; a run of digits alone is no identifier.
    static std::vector<std::string> identifiers(const std::string &piece) {
        std::vector<std::string> found;
        for (size_t i = 0; i < piece.size();) {
            if (!is_rest(piece[i])) {
                i++;
                continue;
            }
            size_t j = i;
            while (j < piece.size() && is_rest(piece[j]))
                j++;
            size_t end = j;
            while (end > i && piece[end - 1] >= '0' && piece[end - 1] <= '9')
                end--;
            if (end > i)
                found.push_back(piece.substr(i, end - i));
            i = j;
        }
        return found;
    }

    // std::string orders bytes as unsigned and a prefix first.
    std::map<std::string, std::map<std::string, std::vector<int32_t>>> index_;
};

// Random text biased towards identifier characters and line breaks, with
// now and then a long line, a NUL or a byte above 127.
std::string random_text(std::mt19937 &rng) {
    static const std::string alphabet = "abcxyzABCXYZ_019"
                                        "aaeeiioo__  \n\n";
    std::uniform_int_distribution<int> kind(0, 99);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> any_byte(0, 255);
    std::uniform_int_distribution<int> length(0, 3000);
    std::string text;
    int n = length(rng);
    for (int i = 0; i < n; i++) {
        int k = kind(rng);
        if (k < 2) {
            text += std::string(std::uniform_int_distribution<int>(400, 1200)(rng),
                                alphabet[pick(rng)]);
        } else if (k < 6) {
            text += static_cast<char>(any_byte(rng));
        } else {
            text += alphabet[pick(rng)];
        }
    }
    return text;
}

TEST_F(LexspotTest, RandomInputsMatchTheModel) {
    std::mt19937 rng(20261210);
    for (int round = 0; round < 100; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Model model;
        if (round % 5 == 0) {
            std::string input = random_text(rng);
            model.index("", input);
            expect_report(lexspot_stdin(input), model.report());
            continue;
        }
        // Up to four files, named in random order, some twice.
        int files = std::uniform_int_distribution<int>(1, 4)(rng);
        std::vector<std::string> contents;
        for (int f = 0; f < files; f++) {
            contents.push_back(random_text(rng));
            write("f" + std::to_string(f), contents.back());
        }
        std::vector<std::string> args;
        int count = std::uniform_int_distribution<int>(1, 6)(rng);
        for (int a = 0; a < count; a++) {
            int f = std::uniform_int_distribution<int>(0, files - 1)(rng);
            args.push_back("f" + std::to_string(f));
            model.index(args.back(), contents[f]);
        }
        expect_report(lexspot(args), model.report());
    }
}

// Every block is freed after a normal run, whatever the inputs were.
TEST_F(LexspotTest, NoLeaksUnderValgrind) {
    std::string why;
    const char *valgrind = valgrind_program(&why);
    if (valgrind == nullptr)
        GTEST_SKIP() << why;
    write("t.c", t_c);
    write("long", std::string(600, ' ') + "\n" + t_c);
    ASSERT_EQ(mkdir(path("d").c_str(), 0700), 0);
    struct Leg {
        std::vector<std::string> args;
        std::string input; // standard input, when no argument is given
        std::string out;
        std::string err;
    };
    const Leg legs[] = {
        {{"t.c"}, "", "9abc\tt.c: 1\nint\tt.c: 1\nx\tt.c: 1 2\n", ""},
        {{}, t_c, "9abc 1\nint 1\nx 1 2\n", ""},
        {{}, "", "", ""},
        {{"missing", "d", "long", "t.c", "long"},
         "",
         "9abc\tlong: 3\n\tt.c: 1\nint\tlong: 3\n\tt.c: 1\nx\tlong: 3 4 3 4\n\tt.c: 1 2\n",
         diagnostic("can't open 'missing'", ENOENT) + diagnostic("can't read 'd'", EISDIR)},
    };
    for (const Leg &leg : legs) {
        std::vector<std::string> argv = {"valgrind",
                                         "-q",
                                         "--error-exitcode=1",
                                         "--leak-check=full",
                                         "--show-leak-kinds=all",
                                         "--errors-for-leak-kinds=all",
                                         LEXSPOT_PROGRAM};
        argv.insert(argv.end(), leg.args.begin(), leg.args.end());
        write(".stdin", leg.input);
        Streams streams;
        streams.stdin_path = path(".stdin");
        Outcome run = execute(valgrind, argv, streams);
        expect_report(run, leg.out, replaced(leg.err, "lexspot: ", LEXSPOT_PROGRAM + ": "s));
    }
}

#if defined(LEXSPOT_REFUSE_ALLOC_PRELOAD)
// The source line a report names, when `location` is "path:line" with a
// repository-relative path of the library or the program; empty otherwise.
std::string source_line(const std::string &location) {
    static const std::regex form("((src/[a-z]+|programs/[a-z/-]+)\\.cpp):([1-9][0-9]*)");
    std::smatch m;
    if (!std::regex_match(location, m, form))
        return "";
    std::ifstream in(std::string(LEXSPOT_SOURCE_DIR) + "/" + m[1].str());
    std::string line;
    for (long n = std::stol(m[3].str()); n > 0 && std::getline(in, line); n--) {
        if (n == 1)
            return line;
    }
    return "";
}
#endif

// Each allocation request of a whole run refused in turn, those inside libc's
// stdio included. Every run must end in one of the sound ways: the full
// report and exit 0; exit 0 with one line on standard error for a file that
// could not be opened or read, and the report of what was read; or the
// uncaught "Allocation Failed" report naming the line of a real allocation,
// then SIGABRT, with at most the start of the report on standard output.
TEST_F(LexspotTest, EveryRefusedAllocationEndsSoundly) {
#if defined(LEXSPOT_SANITIZED)
    GTEST_SKIP() << "the sanitizer runtime supplies malloc itself: none can be preloaded";
#elif !defined(LEXSPOT_REFUSE_ALLOC_PRELOAD)
    GTEST_SKIP() << "no preloadable allocation shim in this build: the coverage "
                    "instrumentation allocates at exit and crashes when refused";
#else
    const std::map<std::string, std::string> files = {{"t.c", t_c}, {"u.c", "y z\nint q;\n"}};
    for (const auto &[name, content] : files)
        write(name, content);
    const auto run_refusing = [&](const std::string &setting) {
        return execute(LEXSPOT_PROGRAM, {LEXSPOT_PROGRAM, "t.c", "u.c"}, {},
                       {"LD_PRELOAD=" LEXSPOT_REFUSE_ALLOC_PRELOAD, setting});
    };
    Model whole;
    for (const auto &[name, content] : files)
        whole.index(name, content);
    const std::string full = whole.report();

    // The reports a run may give when `name` could not be opened, or could
    // not be read past one of its lines.
    const auto partial_reports = [&](const std::string &name) {
        std::vector<std::string> reports;
        const std::string &content = files.at(name);
        for (size_t end = 0;; end = content.find('\n', end) + 1) {
            Model model;
            for (const auto &[other, text] : files)
                model.index(other, other == name ? content.substr(0, end) : text);
            reports.push_back(model.report());
            if (content.find('\n', end) == std::string::npos)
                break;
        }
        return reports;
    };

    const std::string count_path = path(".requests");
    Outcome counted = run_refusing("LEXSPOT_COUNT_REQUESTS=" + count_path);
    expect_report(counted, full);
    const int requests = std::atoi(read_file(count_path).c_str());
    ASSERT_GT(requests, 20) << "the shim saw too few requests to be in use";

    const std::string program = LEXSPOT_PROGRAM;
    const std::string enomem = std::strerror(ENOMEM);
    const std::string quoted_program =
        std::regex_replace(program, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&");
    const std::regex diagnostic(quoted_program + ": can't (open|read) '([tu]\\.c)' \\((.*)\\)\n");
    const std::regex uncaught(
        "Uncaught exception Allocation Failed raised at ([^\n]*)\naborting\\.\\.\\.\n");
    int full_reports = 0, diagnostics = 0, aborts = 0;
    for (int k = 1; k <= requests; k++) {
        SCOPED_TRACE("request " + std::to_string(k) + " refused");
        Outcome run = run_refusing("LEXSPOT_REFUSE_REQUEST=" + std::to_string(k));
        std::smatch m;
        if (exited_with(run, 0) && run.err.empty()) {
            EXPECT_EQ(run.out, full);
            full_reports++;
        } else if (exited_with(run, 0) && std::regex_match(run.err, m, diagnostic)) {
            EXPECT_EQ(m[3].str(), enomem);
            EXPECT_THAT(partial_reports(m[2].str()), testing::Contains(run.out));
            diagnostics++;
        } else if (killed_by(run, SIGABRT) && std::regex_match(run.err, m, uncaught)) {
            EXPECT_THAT(source_line(m[1].str()),
                        testing::ContainsRegex("mem_(allocate|reallocate)|allocation_failed"))
                << m[1].str();
            EXPECT_EQ(run.out, full.substr(0, run.out.size()));
            aborts++;
        } else {
            ADD_FAILURE() << "wait status " << run.status << "\nstandard error:\n"
                          << run.err << "standard output:\n"
                          << run.out;
        }
    }
    // Both ways of going on and the abort were all reached.
    EXPECT_GT(full_reports, 0);
    EXPECT_GT(diagnostics, 0);
    EXPECT_GT(aborts, 0);
#endif
}

} // namespace

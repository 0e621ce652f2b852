// SPDX-License-Identifier: MIT

// Runs of whole programs for the end-to-end tests: each test gets a fresh
// temporary directory, the working directory of every run, and a run's
// standard output, standard error and the way it ended are kept for
// comparison byte for byte.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace lexspot {

// How a run ended and what it wrote.
struct Outcome {
    std::string out;
    std::string err;
    int status = -1; // raw wait status
};

inline bool exited_with(const Outcome &run, int code) {
    return WIFEXITED(run.status) && WEXITSTATUS(run.status) == code;
}

inline bool killed_by(const Outcome &run, int signal) {
    return WIFSIGNALED(run.status) && WTERMSIG(run.status) == signal;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

// The valgrind to run a program under: its path, or null with the reason in
// `*why` when it cannot run the programs of this build.
inline const char *valgrind_program(std::string *why) {
#if defined(LEXSPOT_SANITIZED)
    *why = "valgrind cannot run an AddressSanitizer build";
    return nullptr;
#elif defined(LEXSPOT_EMULATOR)
    *why = std::string("valgrind cannot run a program built for another machine, which runs "
                       "under ") +
           LEXSPOT_EMULATOR;
    return nullptr;
#elif !defined(LEXSPOT_VALGRIND)
    *why = "valgrind not found";
    return nullptr;
#else
    (void)why;
    return LEXSPOT_VALGRIND;
#endif
}

// `text` with every `from` replaced by `to`. valgrind passes the program's
// path on as its name, which then starts each diagnostic in place of the
// name the test gave.
inline std::string replaced(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Where standard input and standard output of a run come from and go to.
struct Streams {
    std::string stdin_path = "/dev/null"; // empty: standard input closed
    int stdin_fd = -1;                    // when not -1, standard input instead of the path
    std::string stdout_path;              // empty: captured; "-": closed
};

// A temporary directory per test, the working directory of every run, so
// that the report names the files as given on the command line.
class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                              "/lexspot_program_test.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr) << std::strerror(errno);
        dir_ = name.data();
    }

    void TearDown() override {
        // A run a failed test left behind may still be removing its own
        // files; what it removes is gone either way.
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    void write(const std::string &name, const std::string &content) {
        write_file(path(name), content);
    }

    // Runs `program` with the argument vector `argv` (argv[0] included) in
    // the temporary directory, with the environment's `settings`
    // ("NAME=value") added. In a cross build the program runs under the
    // emulator, which is given argv[0] and the settings: in its own
    // environment a preloaded library of the target would reach the
    // emulator's loader, not the program's.
    Outcome execute(const std::string &program, const std::vector<std::string> &argv,
                    const Streams &streams = {}, const std::vector<std::string> &settings = {}) {
        return collect(launch(program, argv, streams, settings));
    }

    // The same in two steps: `launch` starts the run and returns its process
    // id, `collect` waits for it to end. One run at a time.
    pid_t launch(const std::string &program, const std::vector<std::string> &argv,
                 const Streams &streams = {}, const std::vector<std::string> &settings = {}) {
        const std::string out_path = path(".stdout"), err_path = path(".stderr");
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0)
                _exit(126);
            if (streams.stdin_fd >= 0 ? dup2(streams.stdin_fd, STDIN_FILENO) < 0
                                      : !redirect(streams.stdin_path, STDIN_FILENO, O_RDONLY))
                _exit(126);
            if (!redirect(streams.stdout_path.empty() ? out_path : streams.stdout_path,
                          STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC) ||
                !redirect(err_path, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC))
                _exit(126);
            std::vector<std::string> line;
#ifdef LEXSPOT_EMULATOR
            line = {LEXSPOT_EMULATOR, "-0", argv.at(0)};
            for (const std::string &setting : settings)
                line.insert(line.end(), {"-E", setting});
            line.push_back(program);
            line.insert(line.end(), argv.begin() + 1, argv.end());
            const std::string run = LEXSPOT_EMULATOR;
#else
            for (const std::string &setting : settings)
                putenv(const_cast<char *>(setting.c_str()));
            line = argv;
            const std::string &run = program;
#endif
            std::vector<char *> args;
            for (const std::string &arg : line)
                args.push_back(const_cast<char *>(arg.c_str()));
            args.push_back(nullptr);
            execv(run.c_str(), args.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0) << std::strerror(errno);
        return pid;
    }

    Outcome collect(pid_t pid) {
        Outcome run;
        if (pid > 0) {
            EXPECT_EQ(waitpid(pid, &run.status, 0), pid);
        }
        const std::string out_path = path(".stdout"), err_path = path(".stderr");
        run.out = read_file(out_path);
        run.err = without_emulator_note(read_file(err_path));
        std::remove(out_path.c_str());
        std::remove(err_path.c_str());
        return run;
    }

  private:
    static bool redirect(const std::string &target, int fd, int flags) {
        if (target.empty() || target == "-")
            return close(fd) == 0;
        int opened = open(target.c_str(), flags, 0600);
        if (opened < 0)
            return false;
        if (opened != fd) {
            if (dup2(opened, fd) < 0)
                return false;
            close(opened);
        }
        return true;
    }

    std::string dir_;
};

} // namespace lexspot

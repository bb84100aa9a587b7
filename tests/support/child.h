/*++

Module Name:

    child.h

Abstract:

    A program the test starts and speaks to line by line through its
    standard input and output, as an operator would at a terminal.

--*/

#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// Where programs of a 32-bit build run under an emulator, the test names it.
#ifndef TARN_TOOL_RUNNER
#define TARN_TOOL_RUNNER ""
#endif

namespace tarntest {

// A child process spoken to line by line through its standard input and
// output.  Killed if still running when dropped.
class Child {
public:
    Child(const std::string &program, const std::vector<std::string> &arguments)
    {
        std::vector<std::string> words;
        // In a 32-bit build on a kernel without 32-bit emulation the
        // programs run under the same emulator as the tests.
        if (std::string(TARN_TOOL_RUNNER).size() != 0) {
            words.push_back(TARN_TOOL_RUNNER);
        }
        words.push_back(program);
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char *> argv;
        for (std::string &word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);

        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        in_ = toChild[1];
        out_ = fromChild[0];
        if (failed != 0) {
            pid_ = -1;
            ADD_FAILURE() << "cannot start " << argv[0] << ": " << strerror(failed);
        }
    }

    ~Child()
    {
        if (in_ >= 0) {
            close(in_);
        }
        if (pid_ > 0) {
            // A node quits at the end of its input; arrayd on SIGTERM.  One
            // that has not gone after a while is stuck: it is killed, so a
            // failed test never leaves a process holding the test's output.
            kill(pid_, SIGTERM);
            for (int waited = 0; waitpid(pid_, nullptr, WNOHANG) == 0; waited++) {
                if (waited == 100) {
                    ADD_FAILURE() << "a child ignored SIGTERM for 10 s and is killed";
                    kill(pid_, SIGKILL);
                    waitpid(pid_, nullptr, 0);
                    break;
                }
                usleep(100 * 1000);
            }
        }
        if (out_ >= 0) {
            close(out_);
        }
    }

    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // The next line the child writes; empty when it ends or says nothing
    // for a minute (slow under an emulator and sanitizers, never that slow).
    std::string ReadLine()
    {
        for (;;) {
            size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return line;
            }
            pollfd ready{out_, POLLIN, 0};
            if (out_ < 0 || poll(&ready, 1, 60000) <= 0) {
                return "";
            }
            char chunk[512];
            ssize_t got = read(out_, chunk, sizeof(chunk));
            if (got <= 0) {
                return "";
            }
            buffered_.append(chunk, (size_t)got);
        }
    }

    std::string Ask(const std::string &command)
    {
        return Tell(command) ? ReadLine() : "";
    }

    // Sends a command whose answer is read later.
    bool Tell(const std::string &command)
    {
        std::string line = command + "\n";
        return in_ >= 0 && write(in_, line.data(), line.size()) == (ssize_t)line.size();
    }

    // Closes its input and waits: the exit status, or -1.
    int Finish()
    {
        close(in_);
        in_ = -1;
        int status = 0;
        pid_t pid = pid_;
        pid_ = -1;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid) {
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
};

} // namespace tarntest

#pragma once

// The independent mDNS peer on the sandbox's host B, driven from a C++ test:
// started with posix_spawn through `scripts/sandbox exec B`, read line by
// line, and stopped by its own pid.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace plugin_host {

inline std::string sandboxVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class SandboxPeer {
public:
    // Starts `peer.py ARGS...` on host B; its stdout is read through a pipe.
    explicit SandboxPeer(const std::vector<std::string>& peerArgs) {
        const std::string repo = sandboxVariable("ZELM_SANDBOX_REPO");
        std::vector<std::string> args{repo + "/scripts/sandbox", "exec", "B", "/usr/bin/python3",
                                      repo + "/tests/sandbox/peer.py"};
        args.insert(args.end(), peerArgs.begin(), peerArgs.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        readFd_ = fds[0];
        if (failed != 0) {
            ::close(readFd_);
            throw std::runtime_error("cannot start " + args[0]);
        }
    }
    SandboxPeer(const SandboxPeer&) = delete;
    SandboxPeer& operator=(const SandboxPeer&) = delete;
    ~SandboxPeer() {
        stop();
        ::close(readFd_);
    }

    // Reads lines until one contains `text`; false on time-out or end of output.
    bool waitForLine(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                const std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                if (line.find(text) != std::string::npos) return true;
                continue;
            }
            if (readMore(deadline) <= 0) return false;
        }
    }

    // SIGTERM to the peer's pid and wait for it; returns its exit status.
    int stop() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
        return reap();
    }

    // Waits for the peer to end by itself; returns its exit status, or -1
    // when its output is still open after `timeout`.
    int waitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const int got = readMore(deadline);
            if (got == 0) return reap();
            if (got < 0) return -1;
        }
    }

private:
    // Appends what the peer wrote. Returns the byte count, 0 at the end of its
    // output, -1 when the deadline passed.
    int readMore(std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return -1;
            pollfd entry{readFd_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[512];
            const ssize_t got = ::read(readFd_, chunk, sizeof chunk);
            if (got <= 0) return 0;
            buffer_.append(chunk, static_cast<std::size_t>(got));
            return static_cast<int>(got);
        }
    }

    int reap() {
        if (pid_ <= 0) return status_;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }

    pid_t pid_ = -1;
    int readFd_ = -1;
    int status_ = -1;
    std::string buffer_;
};

// Runs `peer.py ARGS...` on host B to its end and returns its exit status
// (-1 when it did not end within the time).
inline int runPeer(const std::vector<std::string>& peerArgs, std::chrono::milliseconds timeout) {
    SandboxPeer peer(peerArgs);
    return peer.waitForExit(timeout);
}

}  // namespace plugin_host

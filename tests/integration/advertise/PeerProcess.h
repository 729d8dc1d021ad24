#pragma once

// Child processes of the registration sandbox suite: the independent peer on
// host B and the sandbox's own commands. Each is started by posix_spawn,
// its stdout read line by line, and it is ended by its pid and reaped.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace advertise_sandbox {

using Clock = std::chrono::steady_clock;

// A variable that `scripts/sandbox exec` sets, or "" outside the sandbox.
std::string sandboxVar(const char* name);

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // The next whole line of stdout, or nothing on time-out or end of output.
    std::optional<std::string> readLine(Clock::duration timeout);
    // Reads lines until one contains `text`; false on time-out or end of output.
    bool waitForLine(const std::string& text, Clock::duration timeout);
    // Exit code, or -1 when the process has not exited in time.
    int waitExit(Clock::duration timeout);
    // SIGTERM, then SIGKILL if it lingers; reaps the process.
    void terminate();

private:
    bool reap(bool block);

    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
    bool reaped_ = false;
    int exitCode_ = -1;
};

// `scripts/sandbox exec B /usr/bin/python3 tests/sandbox/peer.py <args>`.
std::vector<std::string> peerCommand(const std::vector<std::string>& args);
// `scripts/sandbox <args>`, run to its end; its exit code (-1 on time-out).
int sandboxCommand(const std::vector<std::string>& args, Clock::duration timeout);
// Runs `peer.py wait` with `args` and returns its exit code (0: condition met).
int peerWait(const std::vector<std::string>& args, Clock::duration timeout);

std::string toHex(const std::vector<unsigned char>& bytes);

}  // namespace advertise_sandbox

#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// The independent mDNS peer on the sandbox's host B (tests/sandbox/peer.py),
// publishing one service while this object lives.
class SandboxPeer {
public:
    // Starts `peer.py publish ARGS...` on host B and waits up to `timeout`
    // for its "published" line. started() tells whether that line came.
    SandboxPeer(const std::vector<std::string>& publishArgs, std::chrono::milliseconds timeout);
    // Terminates the peer by its pid and reaps it.
    ~SandboxPeer();
    SandboxPeer(const SandboxPeer&) = delete;
    SandboxPeer& operator=(const SandboxPeer&) = delete;

    bool started() const { return started_; }
    // Everything the peer printed so far, for failure messages.
    const std::string& output() const { return output_; }

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    bool started_ = false;
    std::string output_;
};

// The value of an environment variable, or the empty string.
std::string sandboxVariable(const char* name);

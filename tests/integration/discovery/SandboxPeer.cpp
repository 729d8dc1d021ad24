#include "SandboxPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

std::string sandboxVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

SandboxPeer::SandboxPeer(const std::vector<std::string>& publishArgs, std::chrono::milliseconds timeout) {
    const std::string repo = sandboxVariable("ZELM_SANDBOX_REPO");
    std::vector<std::string> args{repo + "/scripts/sandbox",       "exec",   "B", "/usr/bin/python3",
                                  repo + "/tests/sandbox/peer.py", "publish"};
    args.insert(args.end(), publishArgs.begin(), publishArgs.end());
    // Built before fork: the child may only exec.
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        // Should this test die, the peer goes with it instead of publishing on.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(pipeFds[1], STDOUT_FILENO);  // dup2 clears close-on-exec
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    outFd_ = pipeFds[0];
    if (pid_ < 0) {
        return;
    }

    // The peer prints one JSON object per line; wait for the one that says
    // the service is registered.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!started_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{outFd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        char buffer[512];
        const ssize_t n = ::read(outFd_, buffer, sizeof(buffer));
        if (n <= 0) {
            break;  // the peer ended
        }
        output_.append(buffer, static_cast<size_t>(n));
        started_ = output_.find("\"published\"") != std::string::npos;
    }
}

SandboxPeer::~SandboxPeer() {
    if (pid_ > 0) {
        // `sandbox exec` replaces itself with the peer, so this pid is the peer's.
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (outFd_ >= 0) {
        ::close(outFd_);
    }
}

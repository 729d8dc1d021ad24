#include "PeerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern char** environ;

namespace advertise_sandbox {

std::string sandboxVar(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
    terminate();
    if (out_ >= 0) ::close(out_);
}

std::optional<std::string> ChildProcess::readLine(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (out_ < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd pfd{out_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) {
            return std::nullopt;
        }
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

bool ChildProcess::waitForLine(const std::string& text, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const auto line = readLine(deadline - Clock::now());
        if (!line) return false;
        if (line->find(text) != std::string::npos) return true;
    }
    return false;
}

bool ChildProcess::reap(bool block) {
    if (reaped_ || pid_ <= 0) {
        return reaped_;
    }
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done == pid_) {
        reaped_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return reaped_;
}

int ChildProcess::waitExit(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reap(false)) {
        if (pid_ <= 0 || Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exitCode_;
}

void ChildProcess::terminate() {
    if (pid_ <= 0 || reap(false)) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (waitExit(std::chrono::seconds(5)) < 0) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
}

std::vector<std::string> peerCommand(const std::vector<std::string>& args) {
    const std::string repo = sandboxVar("ZELM_SANDBOX_REPO");
    std::vector<std::string> argv{repo + "/scripts/sandbox", "exec", "B", "/usr/bin/python3",
                                  repo + "/tests/sandbox/peer.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

int sandboxCommand(const std::vector<std::string>& args, Clock::duration timeout) {
    std::vector<std::string> argv{sandboxVar("ZELM_SANDBOX_REPO") + "/scripts/sandbox"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess command(argv);
    return command.waitExit(timeout);
}

int peerWait(const std::vector<std::string>& args, Clock::duration timeout) {
    std::vector<std::string> waitArgs{"wait"};
    waitArgs.insert(waitArgs.end(), args.begin(), args.end());
    ChildProcess peer(peerCommand(waitArgs));
    return peer.waitExit(timeout);
}

std::string toHex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

}  // namespace advertise_sandbox

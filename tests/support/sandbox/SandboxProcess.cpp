#include "SandboxProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace zelm_sandbox {

std::string sandboxVar(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool insideSandbox() {
    return !sandboxVar("ZELM_SANDBOX_DIR").empty() && !sandboxVar("ZELM_SANDBOX_REPO").empty() &&
           !sandboxVar("DBUS_SYSTEM_BUS_ADDRESS").empty();
}

std::string uniqueName(const std::string& base) {
    static std::atomic<int> counter{0};
    return base + " " + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool quiet) {
    int pipeFds[2];
    if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);  // dup2 clears close-on-exec
    if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
    terminate();
    if (out_ >= 0) ::close(out_);
}

std::optional<nlohmann::json> ChildProcess::nextEvent(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (auto newline = buffered_.find('\n'); newline != std::string::npos;
             newline = buffered_.find('\n')) {
            nlohmann::json event = nlohmann::json::parse(buffered_.substr(0, newline), nullptr, false);
            buffered_.erase(0, newline + 1);
            if (!event.is_discarded()) return event;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watched{out_, POLLIN, 0};
        if (out_ < 0 || left.count() <= 0) return std::nullopt;
        if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) continue;  // EINTR or time-out
        char chunk[4096];
        const ssize_t got = ::read(out_, chunk, sizeof chunk);
        if (got <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<size_t>(got));
    }
}

int ChildProcess::waitExit(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (Clock::now() > deadline) {
            return -1;
        } else {
            std::this_thread::sleep_for(20ms);
        }
    }
    return exitCode_;
}

void ChildProcess::terminate() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (waitExit(10s) < 0) {
        ::kill(pid_, SIGKILL);
        waitExit(5s);
    }
}

std::vector<std::string> peerCommand(const std::vector<std::string>& args) {
    const std::string repo = sandboxVar("ZELM_SANDBOX_REPO");
    std::vector<std::string> command{repo + "/scripts/sandbox", "exec", "B", "/usr/bin/python3",
                                     repo + "/tests/sandbox/peer.py"};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

bool sandboxCommand(const std::vector<std::string>& args) {
    std::vector<std::string> command{sandboxVar("ZELM_SANDBOX_REPO") + "/scripts/sandbox"};
    command.insert(command.end(), args.begin(), args.end());
    return ChildProcess(command).waitExit(60s) == 0;
}

namespace {
// The peer ends by itself after this long, should the test program die first.
const char* const kPeerLifetimeSeconds = "300";

std::vector<std::string> publishArgs(const std::string& name, const std::string& type, int port,
                                     const std::vector<std::string>& txt) {
    std::vector<std::string> args{
        "publish",           "--name", name, "--type", type, "--port", std::to_string(port), "--for",
        kPeerLifetimeSeconds};
    args.insert(args.end(), txt.begin(), txt.end());
    return args;
}
}  // namespace

PeerPublisher::PeerPublisher(const std::string& name, const std::string& type, int port,
                             const std::vector<std::string>& txtArgs)
    : process_(peerCommand(publishArgs(name, type, port, txtArgs))) {
    const auto event = process_.nextEvent(20s);
    published_ = event && event->value("event", "") == "published";
}

nlohmann::json peerWaitFor(const std::string& type, const std::string& name,
                           const std::vector<std::string>& extraArgs) {
    std::vector<std::string> args{"wait", "--type", type, "--name", name, "--timeout", "15"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    ChildProcess peer(peerCommand(args));
    nlohmann::json last;
    while (auto event = peer.nextEvent(25s)) last = *event;
    return peer.waitExit(5s) == 0 ? last : nlohmann::json();
}

}  // namespace zelm_sandbox

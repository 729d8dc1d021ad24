#include "Sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

extern char** environ;

namespace Zelm::Test {

std::string sandboxVar(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? value : "";
}

std::string uniqueName(const std::string& base) {
    static std::atomic<int> counter{0};
    return base + " " + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);  // dup2 clears close-on-exec
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = ::fdopen(pipeFds[0], "r");
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    exitCode();
    if (out_ != nullptr) std::fclose(out_);
}

nlohmann::json ChildProcess::nextEvent() {
    char line[8192];  // the peer's and the sandbox script's lines are far shorter
    while (out_ != nullptr && std::fgets(line, sizeof line, out_) != nullptr) {
        nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object()) return event;
    }
    return nullptr;
}

int ChildProcess::exitCode() {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool sandboxCommand(const std::vector<std::string>& args) {
    std::vector<std::string> command{sandboxVar("ZELM_SANDBOX_REPO") + "/scripts/sandbox"};
    command.insert(command.end(), args.begin(), args.end());
    const int exitCode = ChildProcess(command).exitCode();
    if (exitCode != 0) std::fprintf(stderr, "sandbox %s: exit %d\n", args.front().c_str(), exitCode);
    return exitCode == 0;
}

// peer.py on host B with `args`.
static std::vector<std::string> peerCommand(std::vector<std::string> args) {
    const std::string repo = sandboxVar("ZELM_SANDBOX_REPO");
    args.insert(args.begin(), {repo + "/scripts/sandbox", "exec", "B", "/usr/bin/python3",
                               repo + "/tests/integration/peer.py"});
    return args;
}

// The peer ends by itself should the test program die first.
PeerPublisher::PeerPublisher(const std::string& name, const std::string& type, int port)
    : process_(peerCommand(
          {"publish", "--name", name, "--type", type, "--port", std::to_string(port), "--for", "300"})),
      published_(process_.nextEvent().value("event", "") == "published") {}

nlohmann::json peerWaitFor(const std::string& type, const std::string& name,
                           const std::vector<std::string>& extraArgs) {
    std::vector<std::string> args{"wait", "--type", type, "--name", name, "--timeout", "15"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    ChildProcess peer(peerCommand(args));
    nlohmann::json last;
    for (auto event = peer.nextEvent(); !event.is_null(); event = peer.nextEvent()) last = event;
    return peer.exitCode() == 0 ? last : nlohmann::json();
}

}  // namespace Zelm::Test

#pragma once

// Shared pieces of the C++ sandbox suites: the sandbox's variables, child
// processes ended by their own pid, and the independent peer on host B
// (tests/integration/peer.py). The library's main() reports a suite skipped
// (77) outside the sandbox, before any test could reach the machine's bus.

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace Zelm::Test {

// A variable that `scripts/sandbox exec` sets, or "" outside the sandbox.
std::string sandboxVar(const std::string& name);
// `base`, this process's id and a counter: a name no other run uses.
std::string uniqueName(const std::string& base);

// A child whose output is read as JSON lines; on destruction it gets SIGTERM
// and is reaped. Every child used here ends by itself in bounded time.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // The next output line that is a JSON object; null at the end of the output.
    nlohmann::json nextEvent();
    int exitCode();

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

// `scripts/sandbox <args>` run to its end: true when it succeeded; says how
// it failed, if it did.
bool sandboxCommand(const std::vector<std::string>& args);

// The peer publishing `name` of `type` on host B while this object lives.
class PeerPublisher {
public:
    PeerPublisher(const std::string& name, const std::string& type, int port);
    bool published() const { return published_; }

private:
    ChildProcess process_;
    bool published_ = false;
};

// `peer.py wait` for `name` of `type` with `extraArgs` (--port, --txt-hex,
// --gone): its last line once the condition held, null JSON when it did not.
nlohmann::json peerWaitFor(const std::string& type, const std::string& name,
                           const std::vector<std::string>& extraArgs = {});

}  // namespace Zelm::Test

#pragma once

// Shared pieces of the C++ sandbox suites: child processes started with
// posix_spawn and ended by their own pid, the independent peer on host B
// (tests/sandbox/peer.py), and the sandbox's variables. The library also
// provides main(): outside the sandbox a suite exits 77 (skipped) before any
// test could reach a bus of the machine itself.

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zelm_sandbox {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A variable that `scripts/sandbox exec` sets, or "" outside the sandbox.
std::string sandboxVar(const char* name);
bool insideSandbox();
// `base`, this process's id and a counter: a name no other run uses.
std::string uniqueName(const std::string& base);
std::string toHex(const std::string& bytes);

// A child whose stdout is read as JSON lines; on destruction it is sent
// SIGTERM (SIGKILL if it lingers) and reaped.
class ChildProcess {
public:
    // `quiet` sends its stderr to /dev/null.
    explicit ChildProcess(const std::vector<std::string>& argv, bool quiet = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line that parses as JSON; nothing on time-out or at the end of
    // the output.
    std::optional<nlohmann::json> nextEvent(Clock::duration timeout);
    // Exit code, or -1 when it has not exited in time.
    int waitExit(Clock::duration timeout);
    void terminate();

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
    int exitCode_ = -1;
};

// `scripts/sandbox exec B /usr/bin/python3 tests/sandbox/peer.py <args>`.
std::vector<std::string> peerCommand(const std::vector<std::string>& args);
// `scripts/sandbox <args>` run to its end: true when it succeeded in time.
bool sandboxCommand(const std::vector<std::string>& args);

// Stops avahi-daemon on host A for the scope and starts it again at its end,
// whatever the test did meanwhile.
struct DaemonStopped {
    bool stopped = sandboxCommand({"daemon", "stop"});
    ~DaemonStopped() {
        if (stopped) sandboxCommand({"daemon", "start"});
    }
};

// The peer publishing `name` of `type` on host B while this object lives.
// `txtArgs` are peer.py's TXT options ("--txt", "a=1" or "--txt-hex", HEX).
class PeerPublisher {
public:
    PeerPublisher(const std::string& name, const std::string& type, int port,
                  const std::vector<std::string>& txtArgs = {});
    bool published() const { return published_; }

private:
    ChildProcess process_;
    bool published_ = false;
};

// `peer.py wait` for `name` of `type` with `extraArgs` (--port, --txt-hex,
// --gone): its last line once the condition held, null JSON when it did not.
nlohmann::json peerWaitFor(const std::string& type, const std::string& name,
                           const std::vector<std::string>& extraArgs = {});

}  // namespace zelm_sandbox

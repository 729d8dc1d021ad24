#pragma once

// Helpers for the backend's sandbox suites: the peer on host B as a child
// process, reply logs for the four reply types, and a bounded reply pump.

#include <dns_sd.h>

#include <gtest/gtest.h>
#include <sys/types.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace backend_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr const char* kType = "_zelmtest._tcp";

// A variable that scripts/sandbox exec sets, or "" outside the sandbox.
std::string sandboxVar(const char* name);
uint32_t interfaceIndexOfA();
// A fresh instance name: `base`, this process's id and a counter.
std::string uniqueName(const std::string& base);
std::string toHex(const std::string& bytes);

// Skips a test run outside the sandbox, so that it never reaches a bus of
// the machine itself.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
};

// A child process whose stdout is read line by line as JSON; terminated (by
// its pid) and reaped when it goes.
class ChildProcess {
public:
    // `quiet` sends its stderr to /dev/null.
    explicit ChildProcess(const std::vector<std::string>& argv, bool quiet = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::optional<nlohmann::json> nextEvent(Clock::duration timeout);
    // Exit code, or -1 when it has not exited in time.
    int waitExit(Clock::duration timeout);
    void terminate();

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
    bool reaped_ = false;
    int exitCode_ = -1;
};

// scripts/sandbox exec B peer.py <args>.
std::vector<std::string> peerCommand(const std::vector<std::string>& args);

// The peer publishing one instance of kType on host B while it lives.
class PeerPublisher {
public:
    PeerPublisher(const std::string& name, uint16_t port, const std::vector<std::string>& txtArgs);
    bool published() const { return published_; }

private:
    ChildProcess process_;
    bool published_ = false;
};

// peer.py wait for `name`; the found line (empty when it timed out).
nlohmann::json peerWaitFor(const std::string& name, const std::vector<std::string>& extraArgs);

// Deallocates the reference at the end of the scope.
struct RefGuard {
    DNSServiceRef ref = nullptr;
    ~RefGuard() {
        if (ref != nullptr) DNSServiceRefDeallocate(ref);
    }
};

// One DNSServiceProcessResult once the socket is readable within `timeout`;
// std::nullopt when nothing came.
std::optional<DNSServiceErrorType> processWithin(DNSServiceRef ref, Clock::duration timeout);
// Processes replies until `done` holds (true) or the time is up (false).
bool pumpUntil(DNSServiceRef ref, Clock::duration timeout, const std::function<bool()>& done);

struct BrowseEvent {
    DNSServiceFlags flags;
    uint32_t interfaceIndex;
    DNSServiceErrorType error;
    std::string name, type, domain;
};
struct BrowseLog {
    std::vector<BrowseEvent> events;
    static void reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*, const char*,
                      const char*, void*);
    std::vector<BrowseEvent> of(const std::string& name, bool added) const;
};

struct ResolveEvent {
    DNSServiceFlags flags;
    DNSServiceErrorType error;
    std::string fullname, host;
    uint16_t port;  // host order
    std::string txt;
};
struct ResolveLog {
    std::vector<ResolveEvent> events;
    static void reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*, const char*,
                      uint16_t, uint16_t, const unsigned char*, void*);
};

struct AddressEvent {
    DNSServiceFlags flags;
    uint32_t interfaceIndex;
    DNSServiceErrorType error;
    std::string hostname;
    int family;
    std::string address;  // numeric text
    uint32_t scopeId;
};
struct AddressLog {
    std::vector<AddressEvent> events;
    static void reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*,
                      const struct sockaddr*, uint32_t, void*);
};

struct RegisterEvent {
    DNSServiceFlags flags;
    DNSServiceErrorType error;
    std::string name, type, domain;
};
struct RegisterLog {
    std::vector<RegisterEvent> events;
    // Deallocates the reference from inside its own reply when set.
    bool deallocateInReply = false;
    static void reply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType, const char*, const char*,
                      const char*, void*);
};

// Registers `name` (null: default) on kType and waits for the first reply.
DNSServiceErrorType registerAndWait(RefGuard& guard, RegisterLog& log, const char* name, uint16_t port,
                                    const std::string& txt, DNSServiceFlags flags = 0);

}  // namespace backend_test

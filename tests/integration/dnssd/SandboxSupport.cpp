#include "SandboxSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace backend_test {

std::string sandboxVar(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

uint32_t interfaceIndexOfA() { return if_nametoindex(sandboxVar("ZELM_SANDBOX_IF_A").c_str()); }

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

void SandboxTest::SetUp() {
    if (sandboxVar("ZELM_SANDBOX_DIR").empty() || sandboxVar("DBUS_SYSTEM_BUS_ADDRESS").empty()) {
        GTEST_SKIP() << "runs only inside scripts/sandbox exec A";
    }
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool quiet) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
    terminate();
    if (waitExit(10s) < 0 && !reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitExit(5s);
    }
    if (out_ >= 0) ::close(out_);
}

std::optional<nlohmann::json> ChildProcess::nextEvent(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            const std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
            if (!event.is_discarded()) return event;
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd watched{out_, POLLIN, 0};
        if (out_ < 0 || left <= 0 || ::poll(&watched, 1, static_cast<int>(left)) <= 0) return std::nullopt;
        char chunk[4096];
        const ssize_t got = ::read(out_, chunk, sizeof chunk);
        if (got <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<size_t>(got));
    }
}

int ChildProcess::waitExit(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reaped_ && pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
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
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGTERM);
}

std::vector<std::string> peerCommand(const std::vector<std::string>& args) {
    const std::string repo = sandboxVar("ZELM_SANDBOX_REPO");
    std::vector<std::string> command{repo + "/scripts/sandbox", "exec", "B", "/usr/bin/python3",
                                     repo + "/tests/sandbox/peer.py"};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

namespace {
std::vector<std::string> publishArgs(const std::string& name, uint16_t port,
                                     const std::vector<std::string>& txt) {
    std::vector<std::string> args{"publish", "--name", name, "--type", kType, "--port", std::to_string(port)};
    args.insert(args.end(), txt.begin(), txt.end());
    return args;
}
}  // namespace

PeerPublisher::PeerPublisher(const std::string& name, uint16_t port, const std::vector<std::string>& txtArgs)
    : process_(peerCommand(publishArgs(name, port, txtArgs))) {
    const auto event = process_.nextEvent(15s);
    published_ = event && event->value("event", "") == "published";
}

nlohmann::json peerWaitFor(const std::string& name, const std::vector<std::string>& extraArgs) {
    std::vector<std::string> args{"wait", "--type", kType, "--name", name, "--timeout", "15"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    ChildProcess peer(peerCommand(args));
    nlohmann::json last;
    while (auto event = peer.nextEvent(20s)) last = *event;
    return peer.waitExit(5s) == 0 ? last : nlohmann::json();
}

std::optional<DNSServiceErrorType> processWithin(DNSServiceRef ref, Clock::duration timeout) {
    pollfd watched{DNSServiceRefSockFD(ref), POLLIN, 0};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    if (::poll(&watched, 1, static_cast<int>(ms)) <= 0) return std::nullopt;
    return DNSServiceProcessResult(ref);
}

bool pumpUntil(DNSServiceRef ref, Clock::duration timeout, const std::function<bool()>& done) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        const auto result = processWithin(ref, left);
        if (result && *result != kDNSServiceErr_NoError) return false;
    }
    return true;
}

void BrowseLog::reply(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                      DNSServiceErrorType error, const char* name, const char* type, const char* domain,
                      void* context) {
    static_cast<BrowseLog*>(context)->events.push_back({flags, interfaceIndex, error, name, type, domain});
}

std::vector<BrowseEvent> BrowseLog::of(const std::string& name, bool added) const {
    std::vector<BrowseEvent> matching;
    for (const BrowseEvent& event : events) {
        if (event.name == name && ((event.flags & kDNSServiceFlagsAdd) != 0) == added)
            matching.push_back(event);
    }
    return matching;
}

void ResolveLog::reply(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error,
                       const char* fullname, const char* host, uint16_t port, uint16_t txtLen,
                       const unsigned char* txt, void* context) {
    static_cast<ResolveLog*>(context)->events.push_back(
        {flags, error, fullname, host, ntohs(port), std::string(reinterpret_cast<const char*>(txt), txtLen)});
}

void AddressLog::reply(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                       DNSServiceErrorType error, const char* hostname, const sockaddr* address, uint32_t,
                       void* context) {
    AddressEvent event{flags, interfaceIndex, error, hostname, address->sa_family, "", 0};
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &ipv6->sin6_addr, text, sizeof text);
        event.scopeId = ipv6->sin6_scope_id;
    }
    event.address = text;
    static_cast<AddressLog*>(context)->events.push_back(event);
}

void RegisterLog::reply(DNSServiceRef ref, DNSServiceFlags flags, DNSServiceErrorType error, const char* name,
                        const char* type, const char* domain, void* context) {
    auto* log = static_cast<RegisterLog*>(context);
    log->events.push_back({flags, error, name, type, domain});
    if (log->deallocateInReply) DNSServiceRefDeallocate(ref);
}

DNSServiceErrorType registerAndWait(RefGuard& guard, RegisterLog& log, const char* name, uint16_t port,
                                    const std::string& txt, DNSServiceFlags flags) {
    const DNSServiceErrorType started =
        DNSServiceRegister(&guard.ref, flags, 0, name, kType, nullptr, nullptr, htons(port),
                           static_cast<uint16_t>(txt.size()), txt.data(), &RegisterLog::reply, &log);
    if (started != kDNSServiceErr_NoError) return started;
    return pumpUntil(guard.ref, 15s, [&] { return !log.events.empty(); }) ? kDNSServiceErr_NoError
                                                                          : kDNSServiceErr_Timeout;
}

}  // namespace backend_test

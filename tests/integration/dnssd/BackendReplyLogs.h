#pragma once

// Helpers of the backend's sandbox suite: reply logs for the four reply
// types, a bounded reply pump and a registration that waits for its reply.

#include <dns_sd.h>

#include "SandboxProcess.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>

#include <functional>

namespace backend_test {

using namespace zelm_sandbox;

inline constexpr const char* kType = "_zelmtest._tcp";

inline uint32_t interfaceIndexOfA() { return if_nametoindex(sandboxVar("ZELM_SANDBOX_IF_A").c_str()); }
// "<host name>.local." of sandbox host "A" or "B".
inline std::string hostName(const std::string& host) {
    return sandboxVar(("ZELM_SANDBOX_HOSTNAME_" + host).c_str()) + ".local.";
}
// The peer on host B sees `name` of kType, with `extraArgs` of peer.py wait.
inline bool peerSees(const std::string& name, const std::vector<std::string>& extraArgs = {}) {
    return !peerWaitFor(kType, name, extraArgs).is_null();
}

// Deallocates the reference at the end of the scope.
struct RefGuard {
    DNSServiceRef ref = nullptr;
    ~RefGuard() {
        if (ref != nullptr) DNSServiceRefDeallocate(ref);
    }
};

// One DNSServiceProcessResult once the socket is readable within `timeout`;
// std::nullopt when nothing came.
inline std::optional<DNSServiceErrorType> processWithin(DNSServiceRef ref, Clock::duration timeout) {
    pollfd watched{DNSServiceRefSockFD(ref), POLLIN, 0};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    if (::poll(&watched, 1, static_cast<int>(ms)) <= 0) return std::nullopt;
    return DNSServiceProcessResult(ref);
}

// Processes replies until `done` holds (true) or the time is up (false).
inline bool pumpUntil(DNSServiceRef ref, Clock::duration timeout, const std::function<bool()>& done) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        const auto result = processWithin(ref, left);
        if (result && *result != kDNSServiceErr_NoError) return false;
    }
    return true;
}

struct BrowseEvent {
    DNSServiceFlags flags;
    uint32_t interfaceIndex;
    DNSServiceErrorType error;
    std::string name, type, domain;
};
struct BrowseLog {
    std::vector<BrowseEvent> events;
    static void reply(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                      DNSServiceErrorType error, const char* name, const char* type, const char* domain,
                      void* context) {
        static_cast<BrowseLog*>(context)->events.push_back(
            {flags, interfaceIndex, error, name, type, domain});
    }
    std::vector<BrowseEvent> of(const std::string& name, bool added) const {
        std::vector<BrowseEvent> matching;
        for (const BrowseEvent& event : events) {
            if (event.name == name && ((event.flags & kDNSServiceFlagsAdd) != 0) == added)
                matching.push_back(event);
        }
        return matching;
    }
};

struct ResolveEvent {
    DNSServiceErrorType error;
    std::string fullname, host;
    uint16_t port;  // host order
    std::string txt;
};
struct ResolveLog {
    std::vector<ResolveEvent> events;
    static void reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error,
                      const char* fullname, const char* host, uint16_t port, uint16_t txtLen,
                      const unsigned char* txt, void* context) {
        static_cast<ResolveLog*>(context)->events.push_back(
            {error, fullname, host, ntohs(port), std::string(reinterpret_cast<const char*>(txt), txtLen)});
    }
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
    static void reply(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex,
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
};

struct RegisterEvent {
    DNSServiceErrorType error;
    std::string name, type, domain;
};
struct RegisterLog {
    std::vector<RegisterEvent> events;
    // Deallocates the reference from inside its own reply when set.
    bool deallocateInReply = false;
    static void reply(DNSServiceRef ref, DNSServiceFlags, DNSServiceErrorType error, const char* name,
                      const char* type, const char* domain, void* context) {
        auto* log = static_cast<RegisterLog*>(context);
        log->events.push_back({error, name, type, domain});
        if (log->deallocateInReply) DNSServiceRefDeallocate(ref);
    }
};

// Registers `name` (null: default) on kType and waits for the first reply.
inline DNSServiceErrorType registerAndWait(RefGuard& guard, RegisterLog& log, const char* name, uint16_t port,
                                           const std::string& txt = "", DNSServiceFlags flags = 0) {
    const DNSServiceErrorType started =
        DNSServiceRegister(&guard.ref, flags, 0, name, kType, nullptr, nullptr, htons(port),
                           static_cast<uint16_t>(txt.size()), txt.data(), &RegisterLog::reply, &log);
    if (started != kDNSServiceErr_NoError) return started;
    return pumpUntil(guard.ref, 15s, [&] { return !log.events.empty(); }) ? kDNSServiceErr_NoError
                                                                          : kDNSServiceErr_Timeout;
}

}  // namespace backend_test

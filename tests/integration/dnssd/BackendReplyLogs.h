#pragma once

// Helpers of the backend's sandbox suite: one log for the four reply types,
// a bounded reply pump and a registration that waits for its reply.

#include <dns_sd.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>

#include <functional>
#include <optional>

#include "Sandbox.h"
#include "TxtRecord.h"

namespace Zelm::Test {

using namespace Zelm::Test;
using Zelm::Tool::toHex;

inline constexpr const char* kType = "_zelmtest._tcp";

inline uint32_t interfaceIndexOfA() { return if_nametoindex(sandboxVar("ZELM_SANDBOX_IF_A").c_str()); }
// "<host name>.local." of sandbox host "A" or "B".
inline std::string hostName(const std::string& host) {
    return sandboxVar("ZELM_SANDBOX_HOSTNAME_" + host) + ".local.";
}
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

// One reply of any kind; resolve keeps its full name in `name`, address
// lookup its host name in `host`.
struct Event {
    DNSServiceFlags flags = 0;
    uint32_t interfaceIndex = 0;
    DNSServiceErrorType error = kDNSServiceErr_NoError;
    std::string name{}, type{}, domain{}, host{}, txt{}, address{};
    uint16_t port = 0;  // host order
    int family = 0;
    uint32_t scopeId = 0;
};

struct Log {
    std::vector<Event> events;

    std::vector<Event> of(const std::string& name, bool added) const {
        std::vector<Event> matching;
        for (const Event& event : events) {
            if (event.name == name && ((event.flags & kDNSServiceFlagsAdd) != 0) == added)
                matching.push_back(event);
        }
        return matching;
    }
    static void reply(DNSServiceRef, DNSServiceFlags flags, uint32_t index, DNSServiceErrorType error,
                      const char* name, const char* type, const char* domain, void* context) {
        static_cast<Log*>(context)->events.push_back({flags, index, error, name, type, domain});
    }
    static void reply(DNSServiceRef, DNSServiceFlags flags, uint32_t index, DNSServiceErrorType error,
                      const char* fullname, const char* host, uint16_t port, uint16_t txtLen,
                      const unsigned char* txt, void* context) {
        Event event{flags, index, error, fullname,
                    "",    "",    host,  std::string(reinterpret_cast<const char*>(txt), txtLen)};
        event.port = ntohs(port);
        static_cast<Log*>(context)->events.push_back(event);
    }
    static void reply(DNSServiceRef, DNSServiceFlags flags, uint32_t index, DNSServiceErrorType error,
                      const char* hostname, const sockaddr* address, uint32_t, void* context) {
        Event event{flags, index, error, "", "", "", hostname};
        char text[INET6_ADDRSTRLEN] = "";
        event.family = address->sa_family;
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(event.family,
                  event.family == AF_INET6 ? static_cast<const void*>(&v6->sin6_addr) : &v4->sin_addr, text,
                  sizeof text);
        event.address = text;
        event.scopeId = event.family == AF_INET6 ? v6->sin6_scope_id : 0;
        static_cast<Log*>(context)->events.push_back(event);
    }
    static void reply(DNSServiceRef, DNSServiceFlags flags, DNSServiceErrorType error, const char* name,
                      const char* type, const char* domain, void* context) {
        static_cast<Log*>(context)->events.push_back({flags, 0, error, name, type, domain});
    }
};

// One DNSServiceProcessResult once the socket is readable within `timeout`.
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
        if (Clock::now() >= deadline) return false;
        const auto result = processWithin(ref, deadline - Clock::now());
        if (result && *result != kDNSServiceErr_NoError) return false;
    }
    return true;
}

// Registers `name` (null: default) of kType and waits for the first reply.
inline DNSServiceErrorType registerAndWait(RefGuard& guard, Log& log, const char* name, uint16_t port,
                                           const std::string& txt = "", DNSServiceFlags flags = 0) {
    const DNSServiceErrorType started =
        DNSServiceRegister(&guard.ref, flags, 0, name, kType, nullptr, nullptr, htons(port),
                           static_cast<uint16_t>(txt.size()), txt.data(), &Log::reply, &log);
    if (started != kDNSServiceErr_NoError) return started;
    return pumpUntil(guard.ref, 15s, [&] { return !log.events.empty(); }) ? kDNSServiceErr_NoError
                                                                          : kDNSServiceErr_Timeout;
}

}  // namespace Zelm::Test

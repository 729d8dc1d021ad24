#pragma once

// A scripted stand-in for the DNS-SD client library, for unit tests. It
// implements the functions of dns_sd.h, records every call, and delivers the
// replies a test queues, one per DNSServiceProcessResult call, on the calling
// thread. Each reference has a real socket pair, so shutdown() on the socket
// that DNSServiceRefSockFD returns wakes a blocked DNSServiceProcessResult,
// which then returns kDNSServiceErr_ServiceNotRunning.
//
// Misuse that the real library would punish with a crash is counted instead
// (see violations()), so a test can assert that none happened.

#include <dns_sd.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dnssd_double {

// One scripted event for a reference: either a reply for its reply function,
// or (processResultError non-zero) a failing DNSServiceProcessResult.
struct Reply {
    DNSServiceFlags flags = 0;
    uint32_t interfaceIndex = 0;
    DNSServiceErrorType errorCode = kDNSServiceErr_NoError;
    // Browse: serviceName, regtype, replyDomain. Resolve: name is the full
    // name, host the host target. Register: name, regtype, domain.
    // GetAddrInfo: host is the host name. An empty optional is a null pointer.
    std::optional<std::string> name;
    std::optional<std::string> regtype;
    std::optional<std::string> domain;
    std::optional<std::string> host;
    uint16_t portNetworkOrder = 0;
    std::vector<unsigned char> txt;
    std::optional<sockaddr_storage> address;  // null pointer when empty
    uint32_t ttl = 120;
    DNSServiceErrorType processResultError = kDNSServiceErr_NoError;
    // Runs on the processing thread right before delivery, without any lock
    // of the double held: lets a test hold a pass at a known point.
    std::function<void()> beforeDelivery;
};

Reply browseReply(const std::string& name, const std::string& regtype, const std::string& domain,
                  DNSServiceFlags flags = kDNSServiceFlagsAdd, uint32_t interfaceIndex = 1);
Reply resolveReply(const std::string& fullname, const std::string& host, uint16_t portHostOrder,
                   std::vector<unsigned char> txt, DNSServiceFlags flags = 0);
Reply addressReply(const sockaddr_storage& address, DNSServiceFlags flags = 0);
Reply registerReply(const std::string& name, const std::string& regtype, const std::string& domain,
                    DNSServiceErrorType errorCode = kDNSServiceErr_NoError);
Reply errorReply(DNSServiceErrorType errorCode, DNSServiceFlags flags = 0);
Reply processFailure(DNSServiceErrorType code);

sockaddr_storage ipv4(const char* text, uint16_t port = 0);
sockaddr_storage ipv6(const char* text, uint32_t scopeId = 0);

// One recorded call, with copies of what it was given.
struct Call {
    std::string function;
    DNSServiceRef ref = nullptr;  // the reference made or used
    DNSServiceFlags flags = 0;
    uint32_t interfaceIndex = 0;
    DNSServiceProtocol protocol = 0;
    std::optional<std::string> name;
    std::optional<std::string> regtype;
    std::optional<std::string> domain;
    std::optional<std::string> host;  // Register's host, GetAddrInfo's host name
    uint16_t portNetworkOrder = 0;
    std::vector<unsigned char> data;  // TXT of Register, rdata of UpdateRecord
    bool recordRefNull = true;
    uint32_t ttl = 0;
    void* context = nullptr;
    std::chrono::steady_clock::time_point at;
};

// The script is process-wide, as a DNS-SD library is; reset() between tests.
class Script {
public:
    // Forgets calls, scripts and violations. Deallocates nothing: leaked
    // references still count as live until reset.
    static void reset();

    // The next call of `function` (e.g. "DNSServiceBrowse") fails with `code`.
    static void failNextStart(const std::string& function, DNSServiceErrorType code);
    // The next successful start of `function` gets these replies queued at once.
    static void onStart(const std::string& function, std::vector<Reply> replies);
    // Every later successful DNSServiceBrowse gets one reply that names its
    // own request (service "echo", the request's type and domain), so that a
    // test can tell whose results a caller received.
    static void echoBrowses();
    // Queues a reply for a live reference; false when the reference is not live.
    static bool queueReply(DNSServiceRef ref, Reply reply);
    static void setUpdateRecordResult(DNSServiceErrorType code);

    static std::vector<Call> calls();
    static std::vector<Call> calls(const std::string& function);
    // Waits until `function` has been called at least `count` times.
    static bool waitForCalls(const std::string& function, size_t count,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    static size_t liveReferences();
    // Calls on dead references, deallocations while another thread was
    // processing the reference, and double deallocations.
    static size_t violations();
};

}  // namespace dnssd_double

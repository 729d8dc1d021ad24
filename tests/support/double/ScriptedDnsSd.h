#pragma once

// A scripted stand-in for the DNS-SD client library (dns_sd.h) for unit
// tests. Every call is recorded; a start call may be made to fail, or get
// replies queued. Each reference owns a socket pair: DNSServiceProcessResult
// delivers the next queued reply on the calling thread, or blocks until one
// is queued or the socket is shut down (then kDNSServiceErr_ServiceNotRunning).
// Misuse that would crash the real library (a dead reference, deallocation
// while another thread processes the reference) is counted instead; the unit
// suites' main() fails a test that leaves a misuse or a live reference.

#include <dns_sd.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace Zelm::Test {

// Calls the reply function of the reference it is delivered on and returns
// kDNSServiceErr_NoError, or makes that DNSServiceProcessResult fail.
using Reply = std::function<DNSServiceErrorType(DNSServiceRef ref, void* callback, void* context)>;

// Texts are literals (nullptr for a null pointer). Browse replies name
// instances of "_ipp._tcp." in "local.", registration replies ones of
// "_http._tcp."; a null name makes all three texts null.
Reply browseReply(const char* name, DNSServiceFlags flags = kDNSServiceFlagsAdd, uint32_t interfaceIndex = 1,
                  DNSServiceErrorType error = kDNSServiceErr_NoError);
Reply resolveReply(const char* fullname, const char* host, uint16_t port, std::string txt,
                   DNSServiceFlags flags = 0, DNSServiceErrorType error = kDNSServiceErr_NoError);
Reply addressReply(std::optional<sockaddr_storage> address, DNSServiceFlags flags = 0,
                   DNSServiceErrorType error = kDNSServiceErr_NoError);
Reply registerReply(const char* name, DNSServiceErrorType error = kDNSServiceErr_NoError);
Reply processFailure(DNSServiceErrorType code);
// Runs `before` on the processing thread, then delivers `reply`.
Reply after(std::function<void()> before, Reply reply);

// Holds one reply's delivery until `released`, so that a test knows where the
// processing thread is while it acts on another.
struct Gate {
    std::promise<void> reached, released;
    Reply hold(Reply reply) {
        return after([this] { reached.set_value(), released.get_future().wait(); }, std::move(reply));
    }
};

// An IPv4 or IPv6 address; the scope applies to IPv6 only.
sockaddr_storage ip(const char* text, uint32_t scopeId = 0);

// One recorded call. `args` lists its arguments, e.g. "flags=4 if=3
// type=_ipp._tcp. domain=(null)", with ports in host order; `data` holds
// Register's TXT or UpdateRecord's rdata.
struct Call {
    std::string function, args, data;
    DNSServiceRef ref = nullptr;
    std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
};

// The script is process-wide, as a DNS-SD library is; the unit suites'
// main() resets it before every test.
namespace Double {
void reset();
// The next start of `function` (e.g. "DNSServiceBrowse") fails with `code`;
// for "DNSServiceUpdateRecord", the next update.
void failNextStart(const std::string& function, DNSServiceErrorType code);
// The next successful start of `function` gets these replies queued (empty
// ones are left out).
void onStart(const std::string& function, std::vector<Reply> replies);
std::vector<Call> calls(const std::string& function = "");
bool waitForCalls(const std::string& function, size_t count,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
}  // namespace Double

}  // namespace Zelm::Test

#include "BackendSamples.h"

#include "Sampling.h"

#include <dns_sd.h>
#include <zelm/Semaphore.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace Zelm::Bench {

using nlohmann::json;

namespace {

// No first reply within this time counts as a failed sample.
constexpr int kReplyTimeoutMs = 4000;

const char kTxt[] = "\x0bpath=/bench";

DNSServiceRef heldReference = nullptr;

struct FirstReply {
    bool arrived = false;
    DNSServiceErrorType error = kDNSServiceErr_NoError;
};

// Processes replies of `ref` until `reply.arrived`, waiting at most kReplyTimeoutMs.
bool awaitFirstReply(DNSServiceRef ref, const FirstReply& reply) {
    const auto start = Clock::now();
    while (!reply.arrived) {
        const int left = kReplyTimeoutMs - static_cast<int>(millisSince(start));
        pollfd watched{DNSServiceRefSockFD(ref), POLLIN, 0};
        if (left <= 0 || ::poll(&watched, 1, left) <= 0) return false;
        if (DNSServiceProcessResult(ref) != kDNSServiceErr_NoError) return false;
    }
    return reply.error == kDNSServiceErr_NoError;
}

void onResolve(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char*, const char*,
               uint16_t, uint16_t, const unsigned char*, void* context) {
    auto* reply = static_cast<FirstReply*>(context);
    reply->arrived = true;
    reply->error = error;
}

void onAddress(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char*,
               const sockaddr*, uint32_t, void* context) {
    auto* reply = static_cast<FirstReply*>(context);
    reply->arrived = true;
    reply->error = error;
}

void onRegister(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char*, const char*,
                const char*, void* context) {
    auto* reply = static_cast<FirstReply*>(context);
    reply->arrived = true;
    reply->error = error;
}

void onBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error, const char* name,
              const char*, const char*, void* context) {
    if (error == kDNSServiceErr_NoError && (flags & kDNSServiceFlagsAdd) != 0 && context != nullptr) {
        static_cast<Arrivals*>(context)->add(name);
    }
}

// Processes `ref` on its own thread until its socket is shut down.
std::thread processingThread(DNSServiceRef ref) {
    return std::thread([ref] {
        while (DNSServiceProcessResult(ref) == kDNSServiceErr_NoError) {
        }
    });
}

void shutDownJoinDeallocate(DNSServiceRef ref, std::thread& processing) {
    ::shutdown(DNSServiceRefSockFD(ref), SHUT_RDWR);
    processing.join();
    DNSServiceRefDeallocate(ref);
}

}  // namespace

json BackendSamples::resolve(const std::string& name, const std::string& type) {
    FirstReply reply;
    DNSServiceRef ref = nullptr;
    const auto start = Clock::now();
    bool ok = DNSServiceResolve(&ref, 0, 0, name.c_str(), type.c_str(), "local.", onResolve, &reply) ==
              kDNSServiceErr_NoError;
    ok = ok && awaitFirstReply(ref, reply);
    DNSServiceRefDeallocate(ref);
    return {{"ms", millisSince(start)}, {"ok", ok}};
}

json BackendSamples::lookup(const std::string& host) {
    FirstReply reply;
    DNSServiceRef ref = nullptr;
    const auto start = Clock::now();
    bool ok = DNSServiceGetAddrInfo(&ref, 0, 0, 0, host.c_str(), onAddress, &reply) == kDNSServiceErr_NoError;
    ok = ok && awaitFirstReply(ref, reply);
    DNSServiceRefDeallocate(ref);
    return {{"ms", millisSince(start)}, {"ok", ok}};
}

json BackendSamples::registerThenEnd(const std::string& name, const std::string& type, unsigned short port) {
    FirstReply reply;
    DNSServiceRef ref = nullptr;
    const auto start = Clock::now();
    bool ok = DNSServiceRegister(&ref, 0, 0, name.c_str(), type.c_str(), "", nullptr, htons(port),
                                 sizeof kTxt - 1, kTxt, onRegister, &reply) == kDNSServiceErr_NoError;
    ok = ok && awaitFirstReply(ref, reply);
    const double ms = millisSince(start);
    const auto endStart = Clock::now();
    DNSServiceRefDeallocate(ref);
    return {{"ms", ms}, {"teardown_ms", millisSince(endStart)}, {"ok", ok}};
}

json BackendSamples::browse(const std::string& type, unsigned int timeoutMs) {
    Arrivals arrivals;
    Zelm::Semaphore never(0);
    const double cpuStart = processCpuMillis();
    arrivals.start = Clock::now();
    DNSServiceRef ref = nullptr;
    if (DNSServiceBrowse(&ref, 0, 0, type.c_str(), "local.", onBrowse, &arrivals) != kDNSServiceErr_NoError) {
        return {{"ok", false}};
    }
    std::thread processing = processingThread(ref);
    never.wait_for_milliseconds(static_cast<int>(timeoutMs));
    shutDownJoinDeallocate(ref, processing);
    const double ms = millisSince(arrivals.start);
    return {{"ms", ms},
            {"overshoot_ms", ms - timeoutMs},
            {"cpu_ms", processCpuMillis() - cpuStart},
            {"found", arrivals.names.size()},
            {"last_ms", arrivals.lastMs}};
}

json BackendSamples::bareWait(unsigned int timeoutMs) {
    Zelm::Semaphore never(0);
    const auto start = Clock::now();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return {{"ok", false}};
    std::thread blocked([fd = pair[0]] {
        pollfd watched{fd, POLLIN, 0};
        ::poll(&watched, 1, -1);
    });
    never.wait_for_milliseconds(static_cast<int>(timeoutMs));
    ::shutdown(pair[0], SHUT_RDWR);
    blocked.join();
    ::close(pair[0]);
    ::close(pair[1]);
    const double ms = millisSince(start);
    return {{"ms", ms}, {"overshoot_ms", ms - timeoutMs}};
}

json BackendSamples::endMidBrowse(const std::string& type, unsigned int afterMs) {
    DNSServiceRef ref = nullptr;
    if (DNSServiceBrowse(&ref, 0, 0, type.c_str(), "local.", onBrowse, nullptr) != kDNSServiceErr_NoError) {
        return {{"ok", false}};
    }
    std::thread processing = processingThread(ref);
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    const auto start = Clock::now();
    shutDownJoinDeallocate(ref, processing);
    return {{"ms", millisSince(start)}};
}

json BackendSamples::scale(const std::string& type, int count, unsigned int timeoutMs) {
    PeakWatcher watcher;
    std::vector<DNSServiceRef> refs;
    std::vector<pollfd> sockets;
    int withResults = 0;
    std::vector<Arrivals> arrivals(static_cast<std::size_t>(count));
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        DNSServiceRef ref = nullptr;
        if (DNSServiceBrowse(&ref, 0, 0, type.c_str(), "local.", onBrowse, &arrivals[i]) ==
            kDNSServiceErr_NoError) {
            refs.push_back(ref);
            sockets.push_back(pollfd{DNSServiceRefSockFD(ref), POLLIN, 0});
        }
    }
    // Every browse gets the whole time-out once all have started, as each of
    // the plug-in's does from its own start.
    const auto started = Clock::now();
    while (true) {
        const int left = static_cast<int>(timeoutMs) - static_cast<int>(millisSince(started));
        if (left <= 0) break;
        if (::poll(sockets.data(), sockets.size(), left) <= 0) continue;
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            if ((sockets[i].revents & POLLIN) != 0) DNSServiceProcessResult(refs[i]);
        }
    }
    for (DNSServiceRef ref : refs) {
        DNSServiceRefDeallocate(ref);
    }
    const double ms = millisSince(start);
    watcher.finish();
    for (const Arrivals& one : arrivals) {
        if (!one.names.empty()) ++withResults;
    }
    json result = watcher.report(count);
    result["ms"] = ms;
    result["overshoot_ms"] = ms - timeoutMs;
    result["with_results"] = withResults;
    result["started"] = refs.size();
    result["start_ms"] = std::chrono::duration<double, std::milli>(started - start).count();
    return result;
}

json BackendSamples::hold(bool on) {
    if (heldReference != nullptr) {
        DNSServiceRefDeallocate(heldReference);
        heldReference = nullptr;
    }
    if (!on) return {{"ok", true}};
    return {{"ok", DNSServiceBrowse(&heldReference, 0, 0, "_zbenchhold._tcp", "local.", onBrowse, nullptr) ==
                       kDNSServiceErr_NoError}};
}

}  // namespace Zelm::Bench

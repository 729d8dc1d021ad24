#pragma once

// The same measurements straight on the DNS-SD backend's dns_sd.h, the way a
// program without the plug-in would use it: these are the baselines.

#include <nlohmann/json.hpp>

#include <string>

namespace Zelm::Bench {

class BackendSamples {
public:
    // DNSServiceResolve to its first reply, plus deallocation: {"ms", "ok"}.
    nlohmann::json resolve(const std::string& name, const std::string& type);
    // DNSServiceGetAddrInfo (either family) to its first reply, plus deallocation.
    nlohmann::json lookup(const std::string& host);
    // DNSServiceRegister to its first reply, then deallocation: {"ms", "teardown_ms", "ok"}.
    nlohmann::json registerThenEnd(const std::string& name, const std::string& type, unsigned short port);
    // DNSServiceBrowse processed on a thread of its own for timeoutMs, then
    // shut down, joined and deallocated, as the plug-in does it.
    nlohmann::json browse(const std::string& type, unsigned int timeoutMs);
    // The same bounded wait with no DNS-SD at all: a thread blocked on a
    // socket, a timed semaphore wait, shutdown and join.
    nlohmann::json bareWait(unsigned int timeoutMs);
    // Socket shutdown, join of the processing thread and deallocation of a
    // live browse: {"ms"}.
    nlohmann::json endMidBrowse(const std::string& type, unsigned int afterMs);
    // `count` browses on one thread that polls all their sockets.
    nlohmann::json scale(const std::string& type, int count, unsigned int timeoutMs);

    // Keeps one browse reference open (on) or deallocates it (off), so that
    // the backend's daemon connection stays up between samples.
    nlohmann::json hold(bool on);
};

}  // namespace Zelm::Bench

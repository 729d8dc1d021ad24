// Signals forged by an unprivileged process on the system bus: forger.py, as
// uid nobody, floods this process's bus connections with every signal the
// daemon sends its clients, plausible and malformed, while the DNS-SD calls
// run against the real daemon and the peer on host B. One row per operation
// and what it must still see; each prints a "forgery |" line.

#include "Sandbox.h"
#include "bus/DroppedMessages.h"

#include <dns_sd.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

namespace {

using namespace Zelm::Test;

// The peer's service and this process's own, of types of this run alone.
struct Truth {
    std::string peer, host, ownName;
    std::set<std::string> addresses;
    std::string type = "_zf" + std::to_string(::getpid()) + "._tcp", ownType = "_zg" + type.substr(3);
};

// Replies that match the truth, and those that do not (the first of them
// shown as code, flags and value).
struct Seen {
    explicit Seen(const Truth& truth, std::string name = "") : truth(truth), name(std::move(name)) {}
    const Truth& truth;
    std::string name, example;  // a registration's name
    int genuine = 0, forged = 0;
    DNSServiceErrorType start = 0, processing = 0;
    void judge(bool real, DNSServiceErrorType code, DNSServiceFlags flags, const std::string& what) {
        ++(real ? genuine : forged);
        if (!real && example.empty())
            example = std::to_string(code) + " " + std::to_string(flags) + " " + what;
    }
};

// Reads `ref`'s replies until `done` or `ms` have passed, or it fails.
void pump(
    DNSServiceRef ref, Seen& seen, int ms, const std::function<bool()>& done = [] { return false; }) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    pollfd fd{DNSServiceRefSockFD(ref), POLLIN, 0};
    while (std::chrono::steady_clock::now() < end && !done()) {
        if (::poll(&fd, 1, 100) > 0 && (seen.processing = DNSServiceProcessResult(ref)) != 0) return;
    }
}

void onBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType code, const char* name,
              const char*, const char*, void* context) {
    auto& seen = *static_cast<Seen*>(context);
    seen.judge(code == 0 && (flags & kDNSServiceFlagsAdd) && name == seen.truth.peer, code, flags, name);
}

// The peer's type comes as "_zf<pid>" of "_tcp.local."; others may be on the link.
void onTypeBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType code, const char* name,
                  const char*, const char*, void* context) {
    auto& seen = *static_cast<Seen*>(context);
    const bool evil = code != 0 || !(flags & kDNSServiceFlagsAdd) || std::strstr(name, "evil") != nullptr;
    if (evil || seen.truth.type.rfind(std::string(name) + ".", 0) == 0) seen.judge(!evil, code, flags, name);
}

// The peer publishes port 4242 and one empty string as its TXT record.
void onResolve(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType code, const char*,
               const char* host, uint16_t port, uint16_t txtLength, const unsigned char* txt, void* context) {
    auto& seen = *static_cast<Seen*>(context);
    const std::string record(reinterpret_cast<const char*>(txt), txtLength);
    seen.judge(code == 0 && host == seen.truth.host && ntohs(port) == 4242 && record == std::string(1, '\0'),
               code, flags, host + (":" + std::to_string(ntohs(port))) + " " + record);
}

void onAddress(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType code, const char*,
               const sockaddr* address, uint32_t, void* context) {
    auto& seen = *static_cast<Seen*>(context);
    char text[INET6_ADDRSTRLEN] = "";
    const bool v4 = address->sa_family == AF_INET;
    ::inet_ntop(address->sa_family,
                v4 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr)
                   : &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr,
                text, sizeof text);
    seen.judge(code == 0 && (flags & kDNSServiceFlagsAdd) && seen.truth.addresses.count(text), code, flags,
               text);
}

// Confirmed once, under its name.
void onRegister(DNSServiceRef, DNSServiceFlags flags, DNSServiceErrorType code, const char* name, const char*,
                const char*, void* context) {
    auto& seen = *static_cast<Seen*>(context);
    seen.judge(code == 0 && name == seen.name && seen.genuine == 0, code, flags, name);
}

using Start = std::function<DNSServiceErrorType(DNSServiceRef*, Seen&)>;

DNSServiceErrorType registerOwn(DNSServiceRef* ref, Seen& seen) {
    return DNSServiceRegister(ref, kDNSServiceFlagsNoAutoRename, 0, seen.name.c_str(),
                              seen.truth.ownType.c_str(), nullptr, nullptr, htons(4343), 6, "\5own=1",
                              onRegister, &seen);
}

struct Row {
    const char* operation;
    const char* mustSee;
    Start start;
};

const Row kRows[] = {
    {"browse", "the peer's instance only",
     [](DNSServiceRef* r, Seen& s) {
         return DNSServiceBrowse(r, 0, 0, s.truth.type.c_str(), nullptr, onBrowse, &s);
     }},
    {"resolve", "the peer's host, port and TXT",
     [](DNSServiceRef* r, Seen& s) {
         return DNSServiceResolve(r, 0, 0, s.truth.peer.c_str(), s.truth.type.c_str(), "local.", onResolve,
                                  &s);
     }},
    {"lookup", "the peer's addresses only",
     [](DNSServiceRef* r, Seen& s) {
         return DNSServiceGetAddrInfo(r, 0, 0, kDNSServiceProtocol_IPv4 | kDNSServiceProtocol_IPv6,
                                      s.truth.host.c_str(), onAddress, &s);
     }},
    {"type browse", "no forged type",
     [](DNSServiceRef* r, Seen& s) {
         return DNSServiceBrowse(r, 0, 0, "_services._dns-sd._udp", "local.", onTypeBrowse, &s);
     }},
    {"register", "confirmed once under its name", registerOwn},
};

void report(const char* phase, const char* operation, const Seen& seen, std::uint64_t dropped) {
    std::printf(
        "forgery | %s | %s | genuine %d | forged results %d%s%s | start %d | processing %d | dropped %llu\n",
        phase, operation, seen.genuine, seen.forged,
        seen.example.empty() ? "" : ", first: ", seen.example.c_str(), seen.start, seen.processing,
        static_cast<unsigned long long>(dropped));
    std::fflush(stdout);
}

TEST(Forgery, OnlyTheDaemonIsBelieved) {
    const Truth truth{uniqueName("Zelm Forge Peer"),
                      sandboxVar("ZELM_SANDBOX_HOSTNAME_B") + ".local.",
                      uniqueName("Zelm Forge Own"),
                      {sandboxVar("ZELM_SANDBOX_ADDR_B"), sandboxVar("ZELM_SANDBOX_ADDR6_B")}};
    PeerPublisher peer(truth.peer, truth.type, 4242);
    ASSERT_TRUE(peer.published());
    const std::uint64_t droppedBefore = Zelm::DnsSd::droppedMessages();
    const auto dropped = [&] { return Zelm::DnsSd::droppedMessages() - droppedBefore; };
    const auto runRows = [&](const char* phase) {
        for (const Row& row : kRows) {
            SCOPED_TRACE(std::string(phase) + ": " + row.operation + " sees " + row.mustSee);
            Seen seen(truth, uniqueName("Zelm Forge Too"));
            DNSServiceRef ref = nullptr;
            if ((seen.start = row.start(&ref, seen)) == 0) {
                pump(ref, seen, 2000);
                DNSServiceRefDeallocate(ref);
            }
            report(phase, row.operation, seen, dropped());
            EXPECT_EQ(seen.start, 0);
            EXPECT_EQ(seen.processing, 0);
            EXPECT_GE(seen.genuine, 1);
            EXPECT_EQ(seen.forged, 0);
        }
    };

    // A registration held through the flood, confirmed before it.
    Seen held(truth, truth.ownName);
    DNSServiceRef heldRef = nullptr;
    ASSERT_EQ(registerOwn(&heldRef, held), 0);
    pump(heldRef, held, 5000, [&] { return held.genuine + held.forged > 0; });
    ASSERT_EQ(held.genuine, 1);
    std::atomic<bool> stop{false};
    std::thread holding([&] { pump(heldRef, held, 600000, [&] { return stop.load(); }); });

    const std::string stopFile = "/tmp/zelm-forgery-" + std::to_string(::getpid()) + ".stop";
    ::unlink(stopFile.c_str());
    ChildProcess forger({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3",
                         ZELM_FORGER, std::to_string(::getpid()), truth.type, truth.peer, truth.host,
                         stopFile});
    const nlohmann::json flooding = forger.nextEvent();
    ASSERT_EQ(flooding.value("event", ""), "flooding") << flooding;
    EXPECT_EQ(flooding.value("uid", 0), 65534);
    runRows("flood");
    std::ofstream(stopFile).put('\n');
    const nlohmann::json done = forger.nextEvent();
    EXPECT_EQ(forger.exitCode(), 0);
    ::unlink(stopFile.c_str());
    std::printf("forgery | forger | %s\n", done.dump().c_str());
    ASSERT_EQ(done.value("event", ""), "done");

    // Behind the forged NameOwnerChanged and server failures, new calls work.
    runRows("after");
    // These waited for the daemon's answers behind all that was sent before.
    const std::uint64_t droppedAll = dropped();
    stop = true;
    holding.join();
    report("flood", "registration held", held, droppedAll);
    EXPECT_EQ(held.genuine, 1);
    EXPECT_EQ(held.forged, 0);
    EXPECT_EQ(held.processing, 0);
    EXPECT_FALSE(peerWaitFor(truth.ownType, truth.ownName, {"--port", "4343"}).is_null())
        << "still published";
    DNSServiceRefDeallocate(heldRef);

    const int delivered = done.value("delivered", 0);
    std::printf("forgery | dropped | delivered %d | dropped %llu\n", delivered,
                static_cast<unsigned long long>(droppedAll));
    EXPECT_GT(delivered, 0);
    EXPECT_GE(droppedAll, static_cast<std::uint64_t>(delivered));
}

}  // namespace

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
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

namespace {

using namespace Zelm::Test;

// The peer's service and this process's own, of types of this run alone.
struct Truth {
    std::string peer = uniqueName("Zelm Forge Peer"), ownName = uniqueName("Zelm Forge Own");
    std::string host = sandboxVar("ZELM_SANDBOX_HOSTNAME_B") + ".local.";
    std::set<std::string> addresses{sandboxVar("ZELM_SANDBOX_ADDR_B"), sandboxVar("ZELM_SANDBOX_ADDR6_B")};
    std::string type = "_zf" + std::to_string(::getpid()) + "._tcp", ownType = "_zg" + type.substr(3);
};

// An operation's replies: those that match the truth, and the others (the
// first of them shown as code, flags and text).
struct Seen {
    const Truth& truth;
    std::string name;  // a registration's name
    int genuine = 0, forged = 0;
    std::string example{};
    DNSServiceErrorType start = 0, processing = 0;
};
Seen& of(void* seen) { return *static_cast<Seen*>(seen); }

// Every reply ends here: `real` when it says what the truth does, and succeeded.
void judge(void* seen, bool real, DNSServiceErrorType code, DNSServiceFlags flags, const std::string& what) {
    real = real && code == 0;
    ++(real ? of(seen).genuine : of(seen).forged);
    if (!real && of(seen).example.empty())
        of(seen).example = std::to_string(code) + " " + std::to_string(flags) + " " + what;
}

// Reads `ref`'s replies for `ms`, or until the first one if `first`, or until it fails.
void pump(DNSServiceRef ref, Seen& seen, int ms, bool first = false) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    pollfd fd{DNSServiceRefSockFD(ref), POLLIN, 0};
    while (std::chrono::steady_clock::now() < end && !(first && seen.genuine + seen.forged > 0)) {
        if (::poll(&fd, 1, 100) > 0 && (seen.processing = DNSServiceProcessResult(ref)) != 0) return;
    }
}

void onBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType code, const char* name,
              const char*, const char*, void* seen) {
    judge(seen, (flags & kDNSServiceFlagsAdd) && name == of(seen).truth.peer, code, flags, name);
}

// The peer's type comes as "_zf<pid>" of "_tcp.local."; of the other types
// on the link only those that look forged count.
void onTypeBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType code, const char* name,
                  const char*, const char*, void* seen) {
    const bool evil = code != 0 || !(flags & kDNSServiceFlagsAdd) || std::strstr(name, "evil") != nullptr;
    if (evil || of(seen).truth.type.rfind(std::string(name) + ".", 0) == 0)
        judge(seen, !evil, code, flags, name);
}

// The peer publishes port 4242 and one empty string as its TXT record.
void onResolve(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType code, const char*,
               const char* host, uint16_t port, uint16_t length, const unsigned char* txt, void* seen) {
    const std::string what = host + (":" + std::to_string(ntohs(port))) + " " +
                             std::string(reinterpret_cast<const char*>(txt), length);
    judge(seen, what == of(seen).truth.host + ":4242 " + std::string(1, '\0'), code, flags, what);
}

// The address without its zone.
void onAddress(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType code, const char*,
               const sockaddr* address, uint32_t, void* seen) {
    char text[NI_MAXHOST] = "";
    ::getnameinfo(address, address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6), text,
                  sizeof text, nullptr, 0, NI_NUMERICHOST);
    const std::string what(text, std::strcspn(text, "%"));
    judge(seen, (flags & kDNSServiceFlagsAdd) && of(seen).truth.addresses.count(what), code, flags, what);
}

// Confirmed once, under its name.
void onRegister(DNSServiceRef, DNSServiceFlags flags, DNSServiceErrorType code, const char* name, const char*,
                const char*, void* seen) {
    judge(seen, name == of(seen).name && of(seen).genuine == 0, code, flags, name);
}

DNSServiceErrorType registerOwn(DNSServiceRef* ref, Seen& s) {
    return DNSServiceRegister(ref, kDNSServiceFlagsNoAutoRename, 0, s.name.c_str(), s.truth.ownType.c_str(),
                              nullptr, nullptr, htons(4343), 6, "\5own=1", onRegister, &s);
}

struct Row {
    const char* operation;
    const char* mustSee;
    DNSServiceErrorType (*start)(DNSServiceRef*, Seen&);
};

const Row kRows[] = {
    {"browse", "the peer's instance only",
     [](auto r, Seen& s) { return DNSServiceBrowse(r, 0, 0, s.truth.type.c_str(), nullptr, onBrowse, &s); }},
    {"resolve", "the peer's host, port and TXT",
     [](auto r, Seen& s) {
         return DNSServiceResolve(r, 0, 0, s.truth.peer.c_str(), s.truth.type.c_str(), "local.", onResolve,
                                  &s);
     }},
    {"lookup", "the peer's addresses only",
     [](auto r, Seen& s) {
         return DNSServiceGetAddrInfo(r, 0, 0, kDNSServiceProtocol_IPv4 | kDNSServiceProtocol_IPv6,
                                      s.truth.host.c_str(), onAddress, &s);
     }},
    {"type browse", "no forged type",
     [](auto r, Seen& s) {
         return DNSServiceBrowse(r, 0, 0, "_services._dns-sd._udp", "local.", onTypeBrowse, &s);
     }},
    {"register", "confirmed once under its name", registerOwn},
};

// Prints the "forgery |" line of an operation and checks it.
void check(const char* phase, const char* operation, const Seen& seen, std::uint64_t dropped) {
    std::printf(
        "forgery | %s | %s | genuine %d | forged results %d%s%s | start %d | processing %d | dropped %llu\n",
        phase, operation, seen.genuine, seen.forged,
        seen.example.empty() ? "" : ", first: ", seen.example.c_str(), seen.start, seen.processing,
        static_cast<unsigned long long>(dropped));
    std::fflush(stdout);
    EXPECT_EQ(seen.start, 0);
    EXPECT_EQ(seen.processing, 0);
    EXPECT_GE(seen.genuine, 1);
    EXPECT_EQ(seen.forged, 0);
}

TEST(Forgery, OnlyTheDaemonIsBelieved) {
    const Truth truth;
    PeerPublisher peer(truth.peer, truth.type, 4242);
    ASSERT_TRUE(peer.published());
    const std::uint64_t droppedBefore = Zelm::DnsSd::droppedMessages();
    const auto dropped = [&] { return Zelm::DnsSd::droppedMessages() - droppedBefore; };
    const auto runRows = [&](const char* phase) {
        for (const Row& row : kRows) {
            SCOPED_TRACE(std::string(phase) + ": " + row.operation + " sees " + row.mustSee);
            Seen seen{truth, uniqueName("Zelm Forge Too")};
            DNSServiceRef ref = nullptr;
            if ((seen.start = row.start(&ref, seen)) == 0) {
                pump(ref, seen, 2000);
                DNSServiceRefDeallocate(ref);
            }
            check(phase, row.operation, seen, dropped());
        }
    };

    // A registration held through the flood, confirmed before it; its later
    // replies, queued meanwhile, are read after it.
    Seen held{truth, truth.ownName};
    DNSServiceRef heldRef = nullptr;
    ASSERT_EQ(registerOwn(&heldRef, held), 0);
    pump(heldRef, held, 5000, true);
    ASSERT_EQ(held.genuine, 1);

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
    pump(heldRef, held, 1000);
    // These waited for the daemon's answers behind all that was sent before.
    const std::uint64_t droppedAll = dropped();
    check("flood", "registration held", held, droppedAll);
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

// The DNS-SD conventions a host relies on, at the dns_sd.h level, against the
// sandbox's daemon on host A with the peer on host B: one row each, each
// named after the behaviour it holds the backend to.

#include "Sandbox.h"

#include <dns_sd.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <thread>

namespace {

using namespace Zelm::Test;
using namespace std::chrono_literals;
const std::string kType = "_zelmconv._tcp", kSuffix = "._zelmconv._tcp.local.";
constexpr uint16_t kPeerPort = 0x1234;

// What one callback gave: `name` is the instance, the full name, the
// registered name or the host; `readable`, the socket while it ran.
struct Reply {
    DNSServiceFlags flags;
    uint32_t interface;
    DNSServiceErrorType error;
    std::string name, type;
    uint16_t port = 0;
    sockaddr_storage address{};
    bool readable = false;
};

struct Request {
    DNSServiceRef ref = nullptr;
    std::vector<Reply> replies;
    DNSServiceErrorType started = -1;
    ~Request() { DNSServiceRefDeallocate(ref); }
    // Processes replies until `done` holds for one, or `wait` has passed.
    bool until(std::function<bool(const Reply&)> done, std::chrono::milliseconds wait = 8s) {
        const auto end = std::chrono::steady_clock::now() + wait;
        for (size_t seen = 0; started == 0;) {
            while (seen < replies.size())
                if (done(replies[seen++])) return true;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd fd{DNSServiceRefSockFD(ref), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) != 1 ||
                DNSServiceProcessResult(ref) != 0)
                return false;
        }
        return false;
    }
    // A registration's: the start's error, else its first reply's.
    DNSServiceErrorType outcome() const {
        return started != 0 ? started : replies.empty() ? 1 : replies[0].error;
    }
    bool has(const std::string& name, uint32_t interface = 0) {
        return until(
            [&](const Reply& r) { return r.name == name && (!interface || r.interface == interface); });
    }
    void add(Reply reply) {
        pollfd fd{DNSServiceRefSockFD(ref), POLLIN, 0};
        reply.readable = ::poll(&fd, 1, 0) == 1;
        replies.push_back(std::move(reply));
    }
};

void onBrowse(DNSServiceRef, DNSServiceFlags f, uint32_t i, DNSServiceErrorType e, const char* name,
              const char* type, const char*, void* c) {
    static_cast<Request*>(c)->add({f, i, e, name, type});
}
void onResolve(DNSServiceRef, DNSServiceFlags f, uint32_t i, DNSServiceErrorType e, const char* name,
               const char*, uint16_t port, uint16_t, const unsigned char*, void* c) {
    static_cast<Request*>(c)->add({f, i, e, name, "", port});
}
void onAddress(DNSServiceRef, DNSServiceFlags f, uint32_t i, DNSServiceErrorType e, const char* host,
               const sockaddr* a, uint32_t, void* c) {
    Reply reply{f, i, e, host, ""};
    std::memcpy(&reply.address, a, a->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    static_cast<Request*>(c)->add(reply);
}
void onRegister(DNSServiceRef, DNSServiceFlags f, DNSServiceErrorType e, const char* name, const char* type,
                const char*, void* c) {
    static_cast<Request*>(c)->add({f, 0, e, name, type});
}

std::unique_ptr<Request> browse(const std::string& type, uint32_t interface = 0) {
    auto r = std::make_unique<Request>();
    r->started = DNSServiceBrowse(&r->ref, 0, interface, type.c_str(), nullptr, onBrowse, r.get());
    return r;
}
// A registration of this host, once the daemon confirmed it (or refused it).
std::unique_ptr<Request> publish(const char* name, uint16_t port, DNSServiceFlags flags = 0,
                                 const std::string& type = kType, bool confirmed = true) {
    auto r = std::make_unique<Request>();
    r->started = DNSServiceRegister(&r->ref, flags, 0, name, type.c_str(), nullptr, nullptr, htons(port), 0,
                                    nullptr, onRegister, r.get());
    if (confirmed) r->until([](const Reply&) { return true; });
    return r;
}
int run(const std::vector<std::string>& argv) { return ChildProcess(argv).exitCode(); }

TEST(Conventions, Table) {
    const std::string peerName = uniqueName("Peer"), ifA = sandboxVar("ZELM_SANDBOX_IF_A");
    const uint32_t indexA = if_nametoindex(ifA.c_str());
    PeerPublisher peer(peerName, kType, kPeerPort);
    ASSERT_TRUE(peer.published());
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"add, then a remove without Add once the peer withdraws",
         [&] {
             const std::string name = uniqueName("Leaving");
             auto leaving = std::make_unique<PeerPublisher>(name, kType, 1);
             auto b = browse(kType);
             ASSERT_TRUE(
                 b->until([&](const Reply& r) { return r.name == name && r.flags & kDNSServiceFlagsAdd; }));
             leaving.reset();
             EXPECT_TRUE(b->until(
                 [&](const Reply& r) { return r.name == name && !(r.flags & kDNSServiceFlagsAdd); }));
         }},
        {"MoreComing and a readable socket exactly while replies are queued",
         [&] {
             std::vector<std::unique_ptr<Request>> own;
             for (const char* name : {"Burst 1", "Burst 2", "Burst 3"})
                 own.push_back(publish(name, 1, 0, "_zelmburst._tcp", false));
             for (auto& r : own) ASSERT_TRUE(r->until([](const Reply& reply) { return reply.error == 0; }));
             auto b = browse("_zelmburst._tcp");
             std::this_thread::sleep_for(500ms);
             b->until([](const Reply& r) { return !(r.flags & kDNSServiceFlagsMoreComing); });
             ASSERT_GE(b->replies.size(), 3u);
             for (size_t i = 0; i < b->replies.size(); ++i) {
                 EXPECT_EQ(b->replies[i].flags & kDNSServiceFlagsMoreComing ? 1u : 0u,
                           i + 1 < b->replies.size() ? 1u : 0u)
                     << i;
                 EXPECT_EQ(b->replies[i].readable, i + 1 < b->replies.size()) << i;
             }
         }},
        {"escaped full names: DNSServiceConstructFullName is what resolve reports; browse gives the plain "
         "name",
         [&] {
             const std::string name =
                 "Dot.Back\\slash K\xc3\xbc"
                 "che " +
                 std::to_string(::getpid());
             auto own = publish(name.c_str(), 1);
             char full[kDNSServiceMaxDomainName];
             ASSERT_EQ(DNSServiceConstructFullName(full, name.c_str(), "_zelmconv._tcp.", "local."), 0);
             EXPECT_EQ(full,
                       "Dot\\.Back\\\\slash\\032K\xc3\xbc"
                       "che\\032" +
                           std::to_string(::getpid()) + kSuffix);
             EXPECT_TRUE(browse(kType)->has(name));
             Request r;
             r.started =
                 DNSServiceResolve(&r.ref, 0, 0, name.c_str(), kType.c_str(), "local.", onResolve, &r);
             EXPECT_TRUE(r.has(full));
         }},
        {"the port in network byte order, both ways",
         [&] {
             Request r;
             r.started =
                 DNSServiceResolve(&r.ref, 0, 0, peerName.c_str(), kType.c_str(), "local.", onResolve, &r);
             ASSERT_TRUE(r.until([](const Reply&) { return true; }));
             EXPECT_EQ(r.replies[0].port, htons(kPeerPort));
             const std::string name = uniqueName("Port");
             auto own = publish(name.c_str(), 0x2345);
             EXPECT_FALSE(peerWaitFor(kType, name, {"--port", std::to_string(0x2345)}).is_null());
         }},
        {"only the families asked for, both for 0; a link-local IPv6 address has its link's scope",
         [&] {
             const struct {
                 DNSServiceProtocol protocol;
                 std::set<int> families;
             } asks[] = {{kDNSServiceProtocol_IPv4, {AF_INET}},
                         {kDNSServiceProtocol_IPv6, {AF_INET6}},
                         {0, {AF_INET, AF_INET6}}};
             for (const auto& [protocol, families] : asks) {
                 Request r;
                 r.started = DNSServiceGetAddrInfo(&r.ref, 0, 0, protocol, "zelm-b.local.", onAddress, &r);
                 std::set<int> seen;
                 r.until(
                     [&](const Reply& reply) {
                         return seen.insert(reply.address.ss_family), seen == families;
                     },
                     4s);
                 r.until([](const Reply&) { return false; }, 300ms);
                 seen.clear();
                 for (const Reply& reply : r.replies) {
                     seen.insert(reply.address.ss_family);
                     const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&reply.address);
                     if (reply.address.ss_family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr)) {
                         EXPECT_EQ(v6->sin6_scope_id, indexA);
                     }
                 }
                 EXPECT_EQ(seen, families) << protocol;
             }
         }},
        {"a name the peer or another client holds: renamed and reported so, or NameConflict with "
         "NoAutoRename",
         [&] {
             auto renamed = publish(peerName.c_str(), 1);
             ASSERT_FALSE(renamed->replies.empty());
             EXPECT_EQ(renamed->replies[0].error, 0);
             EXPECT_EQ(renamed->replies[0].name, peerName + " #2");
             EXPECT_EQ(publish(peerName.c_str(), 1, kDNSServiceFlagsNoAutoRename)->outcome(),
                       kDNSServiceErr_NameConflict);
             const std::string local = uniqueName("Local");  // held by another client of the daemon
             ChildProcess other({"avahi-publish", "-s", local, kType, "1"});
             ASSERT_TRUE(browse(kType)->has(local));
             EXPECT_EQ(publish(local.c_str(), 2, kDNSServiceFlagsNoAutoRename)->outcome(),
                       kDNSServiceErr_NameConflict);
         }},
        {"no callback after DNSServiceRefDeallocate, queued replies or a waiting thread",
         [&] {
             auto b = browse(kType);
             pollfd fd{DNSServiceRefSockFD(b->ref), POLLIN, 0};
             ASSERT_EQ(::poll(&fd, 1, 3000), 1);
             DNSServiceRef dead = std::exchange(b->ref, nullptr);
             DNSServiceRefDeallocate(dead);
             EXPECT_EQ(DNSServiceProcessResult(dead), kDNSServiceErr_BadReference);
             auto quiet = browse("_zelmnobody._tcp");
             DNSServiceErrorType waited = 0;
             std::thread waiting([&] { waited = DNSServiceProcessResult(quiet->ref); });
             std::this_thread::sleep_for(200ms);
             DNSServiceRefDeallocate(std::exchange(quiet->ref, nullptr));
             waiting.join();
             EXPECT_NE(waited, 0);
             EXPECT_TRUE(b->replies.empty() && quiet->replies.empty());
         }},
        {"a forked child's inherited reference reports ServiceNotRunning and ends nothing of the parent's",
         [&] {
             auto b = browse(kType);
             pollfd fd{DNSServiceRefSockFD(b->ref), POLLIN, 0};
             ASSERT_EQ(::poll(&fd, 1, 3000), 1);
             const pid_t child = ::fork();
             if (child == 0) {
                 ::alarm(5);
                 const bool refused = DNSServiceProcessResult(b->ref) == kDNSServiceErr_ServiceNotRunning;
                 DNSServiceRefDeallocate(b->ref);
                 ::_exit(refused && b->replies.empty() ? 0 : 1);
             }
             int status = -1;
             ::waitpid(child, &status, 0);
             EXPECT_EQ(status, 0);
             const std::string name = uniqueName("After fork");
             auto own = publish(name.c_str(), 1);
             EXPECT_TRUE(b->has(name));
         }},
        {"the service types' meta-query in any case",
         [&] {
             for (const char* query : {"_services._dns-sd._udp", "_SERVICES._DNS-SD._UDP."})
                 EXPECT_TRUE(browse(query)->until([](const Reply& r) {
                     return r.name == "_zelmconv" && r.type == "_tcp.local.";
                 })) << query;
         }},
        {"an update before the confirmation is published once it comes, the latest",
         [&] {
             const std::string name = uniqueName("Early");
             Request r;
             r.started = DNSServiceRegister(&r.ref, 0, 0, name.c_str(), kType.c_str(), nullptr, nullptr,
                                            htons(1), 4, "\3v=1", onRegister, &r);
             for (const char* txt : {"\3v=2", "\3v=3"})
                 EXPECT_EQ(DNSServiceUpdateRecord(r.ref, nullptr, 0, 4, txt, 0), 0);
             ASSERT_TRUE(r.has(name));
             EXPECT_FALSE(peerWaitFor(kType, name, {"--txt-hex", "03763d33"}).is_null());
         }},
        {"a type the daemon browses for but RFC 6335 does not name is browsed",
         [&] {
             const std::string name = uniqueName("Underscore");
             ChildProcess other({"avahi-publish", "-s", name, "_my_svc._tcp", "1"});
             EXPECT_TRUE(browse("_my_svc._tcp")->has(name));
         }},
        {"port 0 reserves the name: not browsable, and taken",
         [&] {
             const std::string name = uniqueName("Reserved");
             auto own = publish(name.c_str(), 0);
             EXPECT_EQ(own->outcome(), 0);
             EXPECT_FALSE(browse(kType)->until([&](const Reply& r) { return r.name == name; }, 1500ms));
             const std::string other = "timeout 3 avahi-publish -s '" + name + "' " + kType + " 1 2>&1";
             EXPECT_EQ(run({"sh", "-c", other + " | grep -q 'Local name collision'"}), 0);
         }},
        {"a default name follows the host's",
         [&] {
             auto own = publish(nullptr, 1, 0, "_zelmdefault._tcp");
             EXPECT_EQ(run({"avahi-set-host-name", "zelm-a-renamed"}), 0);
             EXPECT_TRUE(own->has("zelm-a-renamed"));
             EXPECT_EQ(run({"avahi-set-host-name", sandboxVar("ZELM_SANDBOX_HOSTNAME_A")}), 0);
             EXPECT_TRUE(own->has(sandboxVar("ZELM_SANDBOX_HOSTNAME_A")));
         }},
        {"one report per link, with if_nametoindex's index",
         [&] {
             ASSERT_TRUE(sandboxCommand({"link", "add"}));
             const uint32_t index2 = if_nametoindex(sandboxVar("ZELM_SANDBOX_IF2_A").c_str());
             const std::string name = uniqueName("Two links");
             auto own = publish(name.c_str(), 1);
             EXPECT_TRUE(browse(kType)->has(name, indexA));
             EXPECT_TRUE(browse(kType)->has(name, index2));
             auto only2 = browse(kType, index2);
             only2->until([](const Reply&) { return false; }, 1500ms);
             EXPECT_TRUE(only2->has(name));
             for (const Reply& r : only2->replies) EXPECT_EQ(r.interface, index2);
             EXPECT_TRUE(sandboxCommand({"link", "delete"}));
         }},
    };
    for (const auto& [what, row] : rows) {
        SCOPED_TRACE(what);
        const auto start = std::chrono::steady_clock::now();
        row();
        std::printf("conventions | %-90.90s | %5lld ms\n", what,
                    static_cast<long long>((std::chrono::steady_clock::now() - start) / 1ms));
    }
}

}  // namespace

// The DNS-SD conventions a host relies on, at the dns_sd.h level, against the
// sandbox's daemon on host A with the peer on host B: one row each, named
// after the behaviour it holds the backend to.

#include "Sandbox.h"
#include "TestSupport.h"

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
const std::string kType = "_zelmconv._tcp";

// What one callback gave: `name` is the instance, the full name, the
// registered name or the host; `readable`, the socket while it ran.
struct Reply {
    DNSServiceFlags flags;
    uint32_t interface;
    DNSServiceErrorType error;
    std::string name, type;
    sockaddr_storage address{};
    bool readable = false;
};

bool readable(DNSServiceRef ref, int timeoutMs) {
    pollfd fd{DNSServiceRefSockFD(ref), POLLIN, 0};
    return ::poll(&fd, 1, timeoutMs) == 1;
}

struct Request {
    DNSServiceRef ref = nullptr;
    DNSServiceErrorType started = -1;
    std::vector<Reply> replies;
    ~Request() { DNSServiceRefDeallocate(ref); }
    // Processes replies until `done` holds for one, or `wait` has passed.
    bool until(std::function<bool(const Reply&)> done, std::chrono::milliseconds wait = 8s) {
        const auto end = std::chrono::steady_clock::now() + wait;
        for (size_t seen = 0; started == 0;) {
            while (seen < replies.size())
                if (done(replies[seen++])) return true;
            const auto left = (end - std::chrono::steady_clock::now()) / 1ms;
            if (left <= 0 || !readable(ref, static_cast<int>(left)) || DNSServiceProcessResult(ref) != 0)
                return false;
        }
        return false;
    }
    bool has(const std::string& name, uint32_t interface = 0, DNSServiceFlags flags = 0) {
        return until([&](const Reply& r) {
            return r.name == name && (!interface || r.interface == interface) &&
                   (r.flags & kDNSServiceFlagsAdd) == flags;
        });
    }
    // A registration's outcome: the start's error, else its first reply's.
    DNSServiceErrorType outcome() const { return started ? started : replies.empty() ? 1 : replies[0].error; }
    void add(Reply reply) {
        reply.readable = readable(ref, 0);
        replies.push_back(std::move(reply));
    }
};
constexpr DNSServiceFlags kAdd = kDNSServiceFlagsAdd;

void onBrowse(DNSServiceRef, DNSServiceFlags f, uint32_t i, DNSServiceErrorType e, const char* name,
              const char* type, const char*, void* c) {
    static_cast<Request*>(c)->add({f, i, e, name, type});
}
void onResolve(DNSServiceRef, DNSServiceFlags f, uint32_t i, DNSServiceErrorType e, const char* name,
               const char*, uint16_t, uint16_t, const unsigned char*, void* c) {
    static_cast<Request*>(c)->add({f, i, e, name, ""});
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
// A registration of this host, by default once the daemon confirmed (or refused) it.
std::unique_ptr<Request> publish(const char* name, uint16_t port, DNSServiceFlags flags = 0,
                                 const std::string& type = kType, bool confirmed = true) {
    auto r = std::make_unique<Request>();
    r->started = DNSServiceRegister(&r->ref, flags, 0, name, type.c_str(), nullptr, nullptr, htons(port), 4,
                                    "\3v=1", onRegister, r.get());
    if (confirmed) r->until([](const Reply&) { return true; });
    return r;
}
int run(const std::vector<std::string>& argv) { return ChildProcess(argv).exitCode(); }

TEST(Conventions, Table) {
    const int threads = threadCount();
    const std::string peerName = uniqueName("Peer"), hostA = sandboxVar("ZELM_SANDBOX_HOSTNAME_A");
    const uint32_t indexA = if_nametoindex(sandboxVar("ZELM_SANDBOX_IF_A").c_str());
    PeerPublisher peer(peerName, kType, 0x1234);
    ASSERT_TRUE(peer.published());
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"add, then a remove without Add once the peer withdraws",
         [&] {
             const std::string name = uniqueName("Leaving");
             auto leaving = std::make_unique<PeerPublisher>(name, kType, 1);
             auto b = browse(kType);
             ASSERT_TRUE(b->has(name, 0, kAdd));
             leaving.reset();
             EXPECT_TRUE(b->has(name, 0, 0));
         }},
        {"MoreComing and a readable socket exactly while replies are queued",
         [&] {
             std::vector<std::unique_ptr<Request>> own;
             for (int i = 0; i < 3; ++i)
                 own.push_back(publish(uniqueName("Burst").c_str(), 1, 0, "_zelmburst._tcp", false));
             for (auto& r : own) ASSERT_TRUE(r->until([](const Reply& reply) { return reply.error == 0; }));
             auto b = browse("_zelmburst._tcp");
             std::this_thread::sleep_for(500ms);
             b->until([](const Reply& r) { return !(r.flags & kDNSServiceFlagsMoreComing); });
             ASSERT_GE(b->replies.size(), 3u);
             for (size_t i = 0; i < b->replies.size(); ++i) {
                 const bool more = i + 1 < b->replies.size();
                 EXPECT_EQ(!!(b->replies[i].flags & kDNSServiceFlagsMoreComing), more) << i;
                 EXPECT_EQ(b->replies[i].readable, more) << i;
             }
         }},
        {"escaping: DNSServiceConstructFullName gives what resolve reports, browse the plain name",
         [&] {
             const std::string id = std::to_string(::getpid()), name = "Dot.Back\\slash K\u00fcche " + id;
             auto own = publish(name.c_str(), 1);
             char full[kDNSServiceMaxDomainName];
             ASSERT_EQ(DNSServiceConstructFullName(full, name.c_str(), "_zelmconv._tcp.", "local."), 0);
             EXPECT_EQ(full, "Dot\\.Back\\\\slash\\032K\u00fcche\\032" + id + "._zelmconv._tcp.local.");
             EXPECT_TRUE(browse(kType)->has(name, 0, kAdd));
             Request r;
             r.started =
                 DNSServiceResolve(&r.ref, 0, 0, name.c_str(), kType.c_str(), "local.", onResolve, &r);
             EXPECT_TRUE(r.has(full));
         }},
        {"only the families asked for, both for 0; a link-local IPv6 address has its link's scope",
         [&] {
             const std::pair<DNSServiceProtocol, std::set<int>> asks[] = {
                 {kDNSServiceProtocol_IPv4, {AF_INET}},
                 {kDNSServiceProtocol_IPv6, {AF_INET6}},
                 {0, {AF_INET, AF_INET6}}};
             for (const auto& [protocol, families] : asks) {
                 Request r;
                 r.started = DNSServiceGetAddrInfo(&r.ref, 0, 0, protocol, "zelm-b.local.", onAddress, &r);
                 r.until([](const Reply&) { return false; }, 1500ms);
                 std::set<int> seen;
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
             EXPECT_TRUE(publish(peerName.c_str(), 1)->has(peerName + " #2", 0, kAdd));
             EXPECT_EQ(publish(peerName.c_str(), 1, kDNSServiceFlagsNoAutoRename)->outcome(),
                       kDNSServiceErr_NameConflict);
             const std::string local = uniqueName("Local");
             ChildProcess other({"avahi-publish", "-s", local, kType, "1"});
             ASSERT_TRUE(browse(kType)->has(local, 0, kAdd));
             EXPECT_EQ(publish(local.c_str(), 2, kDNSServiceFlagsNoAutoRename)->outcome(),
                       kDNSServiceErr_NameConflict);
         }},
        {"no callback after DNSServiceRefDeallocate, with replies queued or a thread waiting",
         [&] {
             auto b = browse(kType), quiet = browse("_zelmnobody._tcp");
             ASSERT_TRUE(readable(b->ref, 3000));
             DNSServiceRef dead = std::exchange(b->ref, nullptr);
             DNSServiceRefDeallocate(dead);
             EXPECT_EQ(DNSServiceProcessResult(dead), kDNSServiceErr_BadReference);
             DNSServiceErrorType waited = 0;
             DNSServiceRef waitedOn = std::exchange(quiet->ref, nullptr);
             std::thread waiting([&] { waited = DNSServiceProcessResult(waitedOn); });
             std::this_thread::sleep_for(200ms);
             DNSServiceRefDeallocate(waitedOn);
             waiting.join();
             EXPECT_TRUE(waited != 0 && b->replies.empty() && quiet->replies.empty());
         }},
        {"resolves and lookups of absent names, each deallocated at once, leave the bus room for the next",
         [&] {
             // The daemon answers their one-call resolutions only after its own
             // time-out, and until then the bus counts each against its limit.
             for (int i = 0; i < 150; ++i) {
                 DNSServiceRef ref = nullptr;
                 ASSERT_EQ(
                     DNSServiceResolve(&ref, 0, 0, "Nobody", kType.c_str(), "local.", onResolve, nullptr), 0)
                     << i;
                 DNSServiceRefDeallocate(ref);
                 ASSERT_EQ(DNSServiceGetAddrInfo(&ref, 0, 0, 0, "nobody.local.", onAddress, nullptr), 0) << i;
                 DNSServiceRefDeallocate(ref);
             }
             Request r;
             r.started =
                 DNSServiceResolve(&r.ref, 0, 0, peerName.c_str(), kType.c_str(), "local.", onResolve, &r);
             EXPECT_TRUE(r.until([](const Reply& reply) { return reply.error == 0; }));
         }},
        {"a forked child's inherited reference reports ServiceNotRunning and ends nothing of the parent's",
         [&] {
             auto b = browse(kType);
             ASSERT_TRUE(readable(b->ref, 3000));
             const pid_t child = ::fork();
             if (child == 0) {
                 ::alarm(5);
                 const bool refused = DNSServiceProcessResult(b->ref) == kDNSServiceErr_ServiceNotRunning;
                 DNSServiceRefDeallocate(b->ref);
                 ::_exit(refused && b->replies.empty() ? 0 : 1);
             }
             int status = -1;
             EXPECT_TRUE(::waitpid(child, &status, 0) == child && status == 0);
             const std::string name = uniqueName("After fork");
             auto own = publish(name.c_str(), 1);
             EXPECT_TRUE(b->has(name, 0, kAdd));
         }},
        {"an update before the confirmation is published once it comes, the latest, with no empty string",
         [&] {
             const std::string name = uniqueName("Early");
             auto own = publish(name.c_str(), 1, 0, kType, false);
             for (const char* txt : {"\3v=2\0", "\3v=3\0"})  // an empty string, then zero padding
                 EXPECT_EQ(DNSServiceUpdateRecord(own->ref, nullptr, 0, 6, txt, 0), 0);
             ASSERT_TRUE(own->has(name, 0, kAdd));
             EXPECT_FALSE(peerWaitFor(kType, name, {"--txt-hex", "03763d33"}).is_null());
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
             EXPECT_TRUE(own->has("zelm-a-renamed", 0, kAdd));
             EXPECT_EQ(run({"avahi-set-host-name", hostA}), 0);
             EXPECT_TRUE(own->has(hostA, 0, kAdd));
         }},
        {"one report per link, with if_nametoindex's index",
         [&] {
             ASSERT_TRUE(sandboxCommand({"link", "add"}));
             const uint32_t index2 = if_nametoindex(sandboxVar("ZELM_SANDBOX_IF2_A").c_str());
             const std::string name = uniqueName("Two links");
             auto own = publish(name.c_str(), 1);
             EXPECT_TRUE(browse(kType)->has(name, indexA, kAdd));
             EXPECT_TRUE(browse(kType)->has(name, index2, kAdd));
             auto only2 = browse(kType, index2);
             EXPECT_FALSE(only2->until([&](const Reply& r) { return r.interface != index2; }, 1500ms));
             EXPECT_TRUE(only2->has(name, index2, kAdd));
             EXPECT_TRUE(sandboxCommand({"link", "delete"}));
         }},
    };
    for (const auto& [what, row] : rows) {
        SCOPED_TRACE(what);
        row();
    }
    // No reference is left, so the daemon link's thread ends after its grace period.
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(settledThreadCount(threads), threads);
}

}  // namespace

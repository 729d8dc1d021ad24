// The independent peer on host B publishes; the backend on host A browses,
// resolves and looks up its address.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <map>
#include <set>

#include "BackendReplyLogs.h"

namespace Zelm::Test {
namespace {

TEST(PeerDiscovery, BrowseReportsEachInstanceOnceAndItsDeparture) {
    const std::string name = uniqueName("Peer Web");
    Log log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceBrowse(&guard.ref, 0, 0, kType, nullptr, &Log::reply, &log), kDNSServiceErr_NoError);
    {
        PeerPublisher peer(name, kType, 8080, {"--txt", "a=1"});
        ASSERT_TRUE(peer.published());
        ASSERT_TRUE(pumpUntil(guard.ref, 10s, [&] { return !log.of(name, true).empty(); }));
        // The daemon hears the peer over IPv4 and IPv6; give both time to report.
        pumpUntil(guard.ref, 2s, [] { return false; });
        const auto added = log.of(name, true);
        ASSERT_EQ(added.size(), 1u);
        EXPECT_EQ(added[0].type + added[0].domain, std::string(kType) + ".local.");
        EXPECT_EQ(added[0].interfaceIndex, interfaceIndexOfA());
        EXPECT_TRUE(log.of(name, false).empty());
    }
    ASSERT_TRUE(pumpUntil(guard.ref, 10s, [&] { return !log.of(name, false).empty(); }));
    pumpUntil(guard.ref, 1s, [] { return false; });
    EXPECT_EQ(log.of(name, false).size(), 1u);
}

// Resolution gives the escaped full name, host, port and exact TXT bytes.
// Lookups of the peer's host name give its addresses of the asked-for
// families, IPv6 ones link-local with the scope of the interface they came
// in on; a name nobody answers ends with one error reply.
TEST(PeerDiscovery, ResolveAndAddressLookupReachThePeer) {
    const std::string txt("\x07path=/x\x09txtvers=1\x04k=\x00\xff", 23);  // one string holds a zero byte
    const std::string name = uniqueName("Peer Web");
    PeerPublisher peer(name, kType, 8080, {"--txt-hex", toHex(txt)});
    ASSERT_TRUE(peer.published());
    Log resolved;
    RefGuard guard;
    ASSERT_EQ(DNSServiceResolve(&guard.ref, 0, 0, name.c_str(), "_zelmtest._tcp.", "local.", &Log::reply,
                                &resolved),
              kDNSServiceErr_NoError);
    ASSERT_TRUE(pumpUntil(guard.ref, 10s, [&] { return !resolved.events.empty(); }));
    std::string escaped = name;
    while (escaped.find(' ') != std::string::npos) escaped.replace(escaped.find(' '), 1, "\\032");
    const Event& answer = resolved.events.front();
    EXPECT_EQ(answer.name, escaped + "._zelmtest._tcp.local.");
    EXPECT_EQ(answer.host, hostName("B"));
    EXPECT_EQ(answer.port, 8080);
    EXPECT_EQ(toHex(answer.txt), toHex(txt));

    const std::map<int, std::string> expected{{AF_INET, sandboxVar("ZELM_SANDBOX_ADDR_B")},
                                              {AF_INET6, sandboxVar("ZELM_SANDBOX_ADDR6_B")}};
    const std::vector<std::pair<DNSServiceProtocol, std::set<int>>> cases{
        {kDNSServiceProtocol_IPv4, {AF_INET}},
        {kDNSServiceProtocol_IPv6, {AF_INET6}},
        {0, {AF_INET, AF_INET6}}};
    for (const auto& [protocol, families] : cases) {
        Log log;
        RefGuard lookup;
        ASSERT_EQ(
            DNSServiceGetAddrInfo(&lookup.ref, 0, 0, protocol, hostName("B").c_str(), &Log::reply, &log),
            kDNSServiceErr_NoError);
        std::set<int> seen;
        pumpUntil(lookup.ref, 10s, [&] {
            for (const Event& event : log.events) seen.insert(event.family);
            return seen == families;
        });
        EXPECT_EQ(seen, families) << "protocol " << protocol;
        for (const Event& event : log.events) {
            EXPECT_EQ(event.error, kDNSServiceErr_NoError);
            EXPECT_NE(event.flags & kDNSServiceFlagsAdd, 0u);
            EXPECT_EQ(event.interfaceIndex, interfaceIndexOfA());
            EXPECT_EQ(event.host, hostName("B"));
            EXPECT_EQ(event.address, expected.at(event.family));
            EXPECT_EQ(event.scopeId, event.family == AF_INET6 ? interfaceIndexOfA() : 0);
        }
    }

    // The daemon stops asking after about a second; that is no answer, so no
    // reply comes at all.
    Log nobody;
    RefGuard unanswered;
    ASSERT_EQ(DNSServiceGetAddrInfo(&unanswered.ref, 0, 0, 0, "nobody-here.local.", &Log::reply, &nobody),
              kDNSServiceErr_NoError);
    EXPECT_FALSE(pumpUntil(unanswered.ref, 4s, [&] { return !nobody.events.empty(); }));
    EXPECT_TRUE(nobody.events.empty());
}

}  // namespace
}  // namespace Zelm::Test

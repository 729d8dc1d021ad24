// The independent peer on host B publishes; the backend on host A browses,
// resolves and looks up its address.

#include "SandboxSupport.h"

#include <sys/socket.h>

#include <memory>
#include <set>

namespace backend_test {
namespace {

class PeerDiscovery : public SandboxTest {};

// Wire form of "path=/x", "txtvers=1" and a binary string holding a zero byte.
const std::string kPeerTxt("\x07path=/x\x09txtvers=1\x04k=\x00\xff", 23);

TEST_F(PeerDiscovery, BrowseReportsEachInstanceOnceAndItsDeparture) {
    const std::string name = uniqueName("Peer Web");
    BrowseLog log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceBrowse(&guard.ref, 0, 0, kType, nullptr, &BrowseLog::reply, &log),
              kDNSServiceErr_NoError);
    {
        PeerPublisher peer(name, 8080, {"--txt", "a=1"});
        ASSERT_TRUE(peer.published());
        ASSERT_TRUE(pumpUntil(guard.ref, 10s, [&] { return !log.of(name, true).empty(); }));
        // The daemon hears the peer over IPv4 and IPv6; give both time to report.
        pumpUntil(guard.ref, 2s, [] { return false; });
        const auto added = log.of(name, true);
        ASSERT_EQ(added.size(), 1u);
        EXPECT_EQ(added[0].error, kDNSServiceErr_NoError);
        EXPECT_EQ(added[0].type, std::string(kType) + ".");
        EXPECT_EQ(added[0].domain, "local.");
        EXPECT_EQ(added[0].interfaceIndex, interfaceIndexOfA());
        EXPECT_TRUE(log.of(name, false).empty());
    }
    ASSERT_TRUE(pumpUntil(guard.ref, 10s, [&] { return !log.of(name, false).empty(); }));
    pumpUntil(guard.ref, 1s, [] { return false; });
    EXPECT_EQ(log.of(name, false).size(), 1u);
}

TEST_F(PeerDiscovery, ResolveGivesEscapedNameHostPortAndExactTxt) {
    const std::string name = uniqueName("Peer Web");
    PeerPublisher peer(name, 8080, {"--txt-hex", toHex(kPeerTxt)});
    ASSERT_TRUE(peer.published());

    ResolveLog log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceResolve(&guard.ref, 0, 0, name.c_str(), "_zelmtest._tcp.", "local.",
                                &ResolveLog::reply, &log),
              kDNSServiceErr_NoError);
    ASSERT_TRUE(pumpUntil(guard.ref, 10s, [&] { return !log.events.empty(); }));
    const ResolveEvent& answer = log.events.front();
    EXPECT_EQ(answer.error, kDNSServiceErr_NoError);
    std::string escaped = name;
    escaped.replace(escaped.find(' '), 1, "\\032");
    escaped.replace(escaped.find(' '), 1, "\\032");
    EXPECT_EQ(answer.fullname, escaped + "._zelmtest._tcp.local.");
    EXPECT_EQ(answer.host, sandboxVar("ZELM_SANDBOX_HOSTNAME_B") + ".local.");
    EXPECT_EQ(answer.port, 8080);
    EXPECT_EQ(toHex(answer.txt), toHex(kPeerTxt));
}

TEST_F(PeerDiscovery, ResolvedTxtLacksTheEmptyStringsTheDaemonDrops) {
    const std::string name = uniqueName("Peer Empty");
    PeerPublisher peer(name, 8081,
                       {"--txt-hex", toHex(std::string("\x03"
                                                       "a=1\x00\x03"
                                                       "b=2\x00",
                                                       10))});
    ASSERT_TRUE(peer.published());

    ResolveLog log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceResolve(&guard.ref, 0, 0, name.c_str(), kType, nullptr, &ResolveLog::reply, &log),
              kDNSServiceErr_NoError);
    ASSERT_TRUE(pumpUntil(guard.ref, 10s, [&] { return !log.events.empty(); }));
    EXPECT_EQ(toHex(log.events.front().txt), toHex("\x03"
                                                   "a=1\x03"
                                                   "b=2"));
}

class PeerAddress : public PeerDiscovery {
protected:
    void SetUp() override {
        PeerDiscovery::SetUp();
        if (IsSkipped()) return;
        peer_ = std::make_unique<PeerPublisher>(uniqueName("Peer Host"), 8082, std::vector<std::string>{});
        ASSERT_TRUE(peer_->published());
    }

    // Address replies for the peer's host name until one of each of `families` arrived.
    std::vector<AddressEvent> lookUp(DNSServiceProtocol protocol, const std::vector<int>& families) {
        const std::string host = sandboxVar("ZELM_SANDBOX_HOSTNAME_B") + ".local.";
        AddressLog log;
        RefGuard guard;
        EXPECT_EQ(DNSServiceGetAddrInfo(&guard.ref, 0, 0, protocol, host.c_str(), &AddressLog::reply, &log),
                  kDNSServiceErr_NoError);
        if (guard.ref == nullptr) return {};
        pumpUntil(guard.ref, 10s, [&] {
            for (const int family : families) {
                bool seen = false;
                for (const AddressEvent& event : log.events) seen = seen || event.family == family;
                if (!seen) return false;
            }
            return true;
        });
        return log.events;
    }

    std::unique_ptr<PeerPublisher> peer_;
};

TEST_F(PeerAddress, IPv4LookupGivesThePeersAddress) {
    const auto events = lookUp(kDNSServiceProtocol_IPv4, {AF_INET});
    ASSERT_FALSE(events.empty());
    for (const AddressEvent& event : events) {
        EXPECT_EQ(event.error, kDNSServiceErr_NoError);
        EXPECT_EQ(event.family, AF_INET);
        EXPECT_EQ(event.address, sandboxVar("ZELM_SANDBOX_ADDR_B"));
        EXPECT_NE(event.flags & kDNSServiceFlagsAdd, 0u);
        EXPECT_EQ(event.interfaceIndex, interfaceIndexOfA());
        EXPECT_EQ(event.hostname, sandboxVar("ZELM_SANDBOX_HOSTNAME_B") + ".local.");
    }
}

TEST_F(PeerAddress, IPv6LookupGivesLinkLocalAddressWithScope) {
    const auto events = lookUp(kDNSServiceProtocol_IPv6, {AF_INET6});
    ASSERT_FALSE(events.empty());
    for (const AddressEvent& event : events) {
        EXPECT_EQ(event.family, AF_INET6);
        EXPECT_EQ(event.address, sandboxVar("ZELM_SANDBOX_ADDR6_B"));
        EXPECT_EQ(event.scopeId, interfaceIndexOfA());
    }
}

TEST_F(PeerAddress, LookupWithoutProtocolGivesBothFamilies) {
    std::set<std::string> addresses;
    for (const AddressEvent& event : lookUp(0, {AF_INET, AF_INET6})) {
        EXPECT_EQ(event.error, kDNSServiceErr_NoError);
        addresses.insert(event.address);
    }
    EXPECT_EQ(addresses,
              (std::set<std::string>{sandboxVar("ZELM_SANDBOX_ADDR_B"), sandboxVar("ZELM_SANDBOX_ADDR6_B")}));
}

TEST_F(PeerDiscovery, LookupOfNameNobodyAnswersEndsWithErrorReply) {
    AddressLog log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceGetAddrInfo(&guard.ref, 0, 0, 0, "nobody-here.local.", &AddressLog::reply, &log),
              kDNSServiceErr_NoError);
    ASSERT_TRUE(pumpUntil(guard.ref, 5s, [&] { return !log.events.empty(); }));
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_TRUE(log.events[0].error == kDNSServiceErr_NoSuchRecord ||
                log.events[0].error == kDNSServiceErr_Timeout)
        << log.events[0].error;
    EXPECT_EQ(log.events[0].flags & kDNSServiceFlagsMoreComing, 0u);
}

}  // namespace
}  // namespace backend_test

#include "AddressInfo_impl.h"

#include <chrono>
#include <cstring>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::Test;

// Shows the whole stored address, of which the interface hands out 16 bytes.
struct Lookup : Prompt<Zelm::MDNS::Apple::AddressInfo_impl> {
    sockaddr_in6 stored() const { return socketAddress.v6; }
    Zelm::Error of(std::vector<Reply> replies) {
        Double::onStart("DNSServiceGetAddrInfo", std::move(replies));
        return getAddressInfo("host.local.", 0, 0, 0);
    }
};

TEST(AddressInfo, AnswersEndTheCallAtOnceAndAreRenderedWhole) {
    const struct {
        sockaddr_storage address;
        const char* text;
    } cases[] = {{ip("198.18.0.2"), "198.18.0.2"}, {ip("fe80::1:2:3:4", 3), "fe80::1:2:3:4"}};
    for (const auto& c : cases) {
        Double::onStart("DNSServiceGetAddrInfo", {addressReply(c.address)});
        Zelm::MDNS::Apple::AddressInfo_impl plain;  // signals by its reply alone
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_TRUE(
            plain.getAddressInfo("peer.local.", kDNSServiceProtocol_IPv4, 7, kDNSServiceFlagsUnique).ok());
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(4000) / 4);
        EXPECT_TRUE(plain.isInitialized());
        EXPECT_EQ(plain.getSocketAddressAsString(), c.text);
        const sockaddr first16 = plain.getSocketAddress();
        EXPECT_EQ(std::memcmp(&first16, &c.address, sizeof first16), 0);
    }
    EXPECT_EQ(Double::calls("DNSServiceGetAddrInfo").at(0).args, "flags=32 if=7 protocol=1 host=peer.local.");
}

// A link-local answer keeps its scope, and a burst ends with its first
// reply without MoreComing. An error reply's code is overtaken by the successful processing call that
// delivered it; the address stays what it was, and an address of no known
// family is reported when rendered. A time-out hides the text; a failed start
// writes its prefixed line.
TEST(AddressInfo, BurstEndsWithTheFirstFinalReplyAndFailuresKeepTheEarlierAddress) {
    Lookup lookup;
    const Reply error = addressReply(std::nullopt, 0, kDNSServiceErr_NoSuchRecord);
    CoutCapture capture;
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");  // nothing looked up yet: silent
    EXPECT_TRUE(lookup.of({error}).ok());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");
    EXPECT_EQ(capture.text(), "Unknown AF enum\n");
    EXPECT_TRUE(lookup
                    .of({addressReply(ip("10.0.0.1"), kDNSServiceFlagsMoreComing),
                         addressReply(ip("fe80::2", 5)), addressReply(ip("10.0.0.3"))})
                    .ok());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "fe80::2");
    EXPECT_EQ(lookup.stored().sin6_scope_id, 5u);
    EXPECT_EQ(Double::calls("DNSServiceRefDeallocate").size(), 2u);
    for (const Reply& reply : {addressReply(ip("10.0.0.1")), error, addressReply(std::nullopt)}) {
        EXPECT_TRUE(lookup.of({reply}).ok());
        EXPECT_EQ(lookup.getSocketAddressAsString(), "10.0.0.1");
    }
    expectError(lookup.of({processFailure(kDNSServiceErr_ServiceNotRunning)}),
                kDNSServiceErr_ServiceNotRunning, Zelm::Error::Service);
    EXPECT_FALSE(lookup.isInitialized());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");
    EXPECT_EQ(lookup.stored().sin6_family, AF_INET);
    EXPECT_EQ(capture.text(), "Unknown AF enum\nmDNS error: -65563: MDNS background daemon not running.\n");

    Double::failNextStart("DNSServiceGetAddrInfo", kDNSServiceErr_BadParam);
    CoutCapture startLine;
    expectError(lookup.getAddressInfo("host.local.", 0, 0, 0), kDNSServiceErr_BadParam, Zelm::Error::Service);
    EXPECT_EQ(startLine.text(), "AddressInfo_impl::getAddressInfo:mDNS error: -65540: MDNS Bad parameter.\n");
}

}  // namespace

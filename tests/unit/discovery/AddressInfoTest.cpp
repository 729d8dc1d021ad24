#include "discovery/AddressInfo_impl.h"

#include <cstring>

#include "DoubleFixture.h"

namespace {

using dnssd_double::addressReply;
using dnssd_double::ipv4;
using dnssd_double::Script;
using Zelm::MDNS::Apple::AddressInfo_impl;

using AddressInfoTest = zelm_test::DoubleFixture;

Zelm::Error lookUp(AddressInfo_impl& lookup, std::vector<dnssd_double::Reply> replies) {
    Script::onStart("DNSServiceGetAddrInfo", std::move(replies));
    return lookup.getAddressInfo("host.local.", 0, 0, 0);
}

bool holds(const AddressInfo_impl& lookup, const sockaddr_storage& expected) {
    const sockaddr plain = lookup.getSocketAddress();
    return std::memcmp(&plain, &expected, sizeof(plain)) == 0;
}

TEST_F(AddressInfoTest, IPv4AnswerEndsTheLookupAndIsRendered) {
    Script::onStart("DNSServiceGetAddrInfo", {addressReply(ipv4("198.18.0.2", 80))});
    AddressInfo_impl lookup;

    EXPECT_TRUE(
        lookup.getAddressInfo("peer.local.", kDNSServiceProtocol_IPv4, 7, kDNSServiceFlagsDefault).ok());

    EXPECT_TRUE(lookup.isInitialized());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "198.18.0.2");
    EXPECT_TRUE(holds(lookup, ipv4("198.18.0.2", 80)));
    const auto call = Script::calls("DNSServiceGetAddrInfo").at(0);
    EXPECT_EQ(call.flags, static_cast<DNSServiceFlags>(kDNSServiceFlagsDefault));
    EXPECT_EQ(call.interfaceIndex, 7u);
    EXPECT_EQ(call.protocol, static_cast<DNSServiceProtocol>(kDNSServiceProtocol_IPv4));
    EXPECT_EQ(call.host, "peer.local.");
}

TEST_F(AddressInfoTest, IPv6AnswerIsRenderedFromAllSixteenBytes) {
    AddressInfo_impl lookup;
    EXPECT_TRUE(lookUp(lookup, {addressReply(dnssd_double::ipv6("2001:db8:1:2:3:4:5:6", 3))}).ok());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "2001:db8:1:2:3:4:5:6");
    EXPECT_EQ(lookup.getSocketAddress().sa_family, AF_INET6);
}

TEST_F(AddressInfoTest, BurstEndsWithTheFirstReplyWithoutMoreComing) {
    AddressInfo_impl lookup;
    EXPECT_TRUE(lookUp(lookup, {addressReply(ipv4("10.0.0.1"), kDNSServiceFlagsMoreComing),
                                addressReply(ipv4("10.0.0.2")), addressReply(ipv4("10.0.0.3"))})
                    .ok());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "10.0.0.2");
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

// The error reply's code is overtaken by the successful processing call that
// delivered it; the address stays what it was, and an address of no known
// family is reported when rendered.
TEST_F(AddressInfoTest, ErrorReplyOrMissingAddressKeepsTheEarlierAddress) {
    AddressInfo_impl lookup;
    const auto errorReply = dnssd_double::errorReply(kDNSServiceErr_NoSuchRecord);
    zelm_test::CoutCapture capture;
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");  // nothing looked up yet: silent
    EXPECT_TRUE(holds(lookup, sockaddr_storage{}));
    EXPECT_TRUE(lookUp(lookup, {errorReply}).ok());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");
    EXPECT_EQ(capture.text(), "Unknown AF enum\n");

    auto noAddress = addressReply(ipv4("0.0.0.0"));
    noAddress.address.reset();
    for (const auto& reply : {addressReply(ipv4("10.0.0.1")), errorReply, noAddress}) {
        EXPECT_TRUE(lookUp(lookup, {reply}).ok());
        EXPECT_EQ(lookup.getSocketAddressAsString(), "10.0.0.1");
    }
    EXPECT_EQ(capture.text(), "Unknown AF enum\n");
}

TEST_F(AddressInfoTest, FailedStartWritesThePrefixedLineAndChangesNothing) {
    Script::failNextStart("DNSServiceGetAddrInfo", kDNSServiceErr_BadParam);
    AddressInfo_impl lookup;
    zelm_test::CoutCapture capture;

    zelm_test::expectError(lookup.getAddressInfo("host.local.", 0, 0, 0), kDNSServiceErr_BadParam,
                           Zelm::Error::Service);
    EXPECT_EQ(capture.text(), "AddressInfo_impl::getAddressInfo:mDNS error: -65540: MDNS Bad parameter.\n");
    EXPECT_FALSE(lookup.isInitialized());
}

TEST_F(AddressInfoTest, TimeOutHidesTheTextButKeepsTheEarlierAddress) {
    AddressInfo_impl lookup;
    ASSERT_TRUE(lookUp(lookup, {addressReply(ipv4("10.0.0.1"))}).ok());
    zelm_test::CoutCapture capture;

    zelm_test::expectError(lookup.getAddressInfo("silent.local.", 0, 0, 0), kDNSServiceErr_ServiceNotRunning,
                           Zelm::Error::Service);
    EXPECT_FALSE(lookup.isInitialized());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");
    EXPECT_TRUE(holds(lookup, ipv4("10.0.0.1")));
    EXPECT_EQ(capture.text(), "mDNS error: -65563: MDNS background daemon not running.\n");
}

}  // namespace

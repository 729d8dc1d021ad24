#include "discovery/AddressInfo_impl.h"

#include <cstring>
#include <mutex>

#include "DiscoveryFixture.h"

namespace {

using dnssd_double::addressReply;
using dnssd_double::errorReply;
using dnssd_double::ipv4;
using dnssd_double::ipv6;
using dnssd_double::Reply;
using dnssd_double::Script;
using Zelm::MDNS::Apple::AddressInfo_impl;

using AddressInfoTest = DiscoveryTest;

// Shows the whole stored address, of which the interface hands out 16 bytes.
class InspectableLookup : public AddressInfo_impl {
public:
    sockaddr_in6 stored() const {
        std::lock_guard<std::mutex> lock(mutex);
        return socketAddress.v6;
    }
};

// Runs one lookup whose only reply carries `address`.
Zelm::Error lookUp(AddressInfo_impl& lookup, const sockaddr_storage& address) {
    Script::onStart("DNSServiceGetAddrInfo", {addressReply(address)});
    return lookup.getAddressInfo("host.local.", 0, 0, 0);
}

TEST_F(AddressInfoTest, IPv4AnswerEndsTheLookupAndIsRendered) {
    Script::onStart("DNSServiceGetAddrInfo", {addressReply(ipv4("198.18.0.2", 80))});
    AddressInfo_impl lookup;

    const Zelm::Error result =
        lookup.getAddressInfo("peer.local.", kDNSServiceProtocol_IPv4, 7, kDNSServiceFlagsDefault);

    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(lookup.isInitialized());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "198.18.0.2");
    const sockaddr plain = lookup.getSocketAddress();
    const sockaddr_storage expected = ipv4("198.18.0.2", 80);
    EXPECT_EQ(std::memcmp(&plain, &expected, sizeof(plain)), 0);

    const auto calls = Script::calls("DNSServiceGetAddrInfo");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].flags, static_cast<DNSServiceFlags>(kDNSServiceFlagsDefault));
    EXPECT_EQ(calls[0].interfaceIndex, 7u);
    EXPECT_EQ(calls[0].protocol, static_cast<DNSServiceProtocol>(kDNSServiceProtocol_IPv4));
    EXPECT_EQ(calls[0].host, "peer.local.");
}

TEST_F(AddressInfoTest, IPv6AnswerIsRenderedFromAllSixteenBytesAndKeepsItsScope) {
    InspectableLookup lookup;

    EXPECT_TRUE(lookUp(lookup, ipv6("2001:db8:1:2:3:4:5:6", 3)).ok());

    EXPECT_EQ(lookup.getSocketAddressAsString(), "2001:db8:1:2:3:4:5:6");
    EXPECT_EQ(lookup.getSocketAddress().sa_family, AF_INET6);
    EXPECT_EQ(lookup.stored().sin6_scope_id, 3u);
}

TEST_F(AddressInfoTest, BurstEndsWithTheFirstReplyWithoutMoreComing) {
    Script::onStart("DNSServiceGetAddrInfo",
                    {addressReply(ipv4("10.0.0.1"), kDNSServiceFlagsMoreComing),
                     addressReply(ipv4("10.0.0.2")), addressReply(ipv4("10.0.0.3"))});
    AddressInfo_impl lookup;

    EXPECT_TRUE(lookup.getAddressInfo("host.local.", 0, 0, 0).ok());

    EXPECT_EQ(lookup.getSocketAddressAsString(), "10.0.0.2");
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

TEST_F(AddressInfoTest, ErrorReplyOrMissingAddressEndsTheLookupAndKeepsTheEarlierAnswer) {
    AddressInfo_impl lookup;
    ASSERT_TRUE(lookUp(lookup, ipv4("10.0.0.1")).ok());
    Reply noAddress = addressReply(ipv4("0.0.0.0"));
    noAddress.address.reset();
    Script::onStart("DNSServiceGetAddrInfo", {errorReply(kDNSServiceErr_NoSuchRecord)});
    Script::onStart("DNSServiceGetAddrInfo", {noAddress});
    zelm_test::CoutCapture capture;

    // The error reply's code is overtaken by the successful processing call
    // that delivered it.
    EXPECT_TRUE(lookup.getAddressInfo("gone.local.", 0, 0, 0).ok());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "10.0.0.1");
    EXPECT_TRUE(lookup.getAddressInfo("gone.local.", 0, 0, 0).ok());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "10.0.0.1");
    EXPECT_EQ(capture.text(), "");
}

TEST_F(AddressInfoTest, StoredAddressStartsZeroAndAnUnknownFamilyIsReported) {
    AddressInfo_impl lookup;
    const sockaddr zero{};
    const sockaddr initial = lookup.getSocketAddress();
    EXPECT_EQ(std::memcmp(&initial, &zero, sizeof(zero)), 0);
    Script::onStart("DNSServiceGetAddrInfo", {errorReply(kDNSServiceErr_NoSuchRecord)});
    zelm_test::CoutCapture capture;

    EXPECT_EQ(lookup.getSocketAddressAsString(), "");  // nothing looked up: silent
    EXPECT_TRUE(lookup.getAddressInfo("gone.local.", 0, 0, 0).ok());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");

    EXPECT_EQ(capture.text(), "Unknown AF enum\n");
}

TEST_F(AddressInfoTest, FailedStartWritesThePrefixedLineAndChangesNothing) {
    Script::failNextStart("DNSServiceGetAddrInfo", kDNSServiceErr_BadParam);
    AddressInfo_impl lookup;
    zelm_test::CoutCapture capture;

    const Zelm::Error result = lookup.getAddressInfo("host.local.", 0, 0, 0);

    expectError(result, kDNSServiceErr_BadParam, Zelm::Error::Service);
    EXPECT_EQ(capture.text(), "AddressInfo_impl::getAddressInfo:mDNS error: -65540: MDNS Bad parameter.\n");
    EXPECT_FALSE(lookup.isInitialized());
}

TEST_F(AddressInfoTest, TimeOutHidesTheTextButKeepsTheEarlierAddress) {
    AddressInfo_impl lookup;
    ASSERT_TRUE(lookUp(lookup, ipv4("10.0.0.1")).ok());
    zelm_test::CoutCapture capture;

    const Zelm::Error result = lookup.getAddressInfo("silent.local.", 0, 0, 0);

    expectError(result, kDNSServiceErr_ServiceNotRunning, Zelm::Error::Service);
    EXPECT_FALSE(lookup.isInitialized());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");
    const sockaddr plain = lookup.getSocketAddress();
    const sockaddr_storage earlier = ipv4("10.0.0.1");
    EXPECT_EQ(std::memcmp(&plain, &earlier, sizeof(plain)), 0);
    EXPECT_EQ(capture.text(), "mDNS error: -65563: MDNS background daemon not running.\n");
}

}  // namespace

#include "discovery/Resolve_impl.h"

#include <zelm/mdns/MDNSError.h>

#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "DiscoveryFixture.h"

namespace {

using dnssd_double::errorReply;
using dnssd_double::Reply;
using dnssd_double::resolveReply;
using dnssd_double::Script;
using Zelm::MDNS::Apple::Resolve_impl;

using ResolveTest = DiscoveryTest;

std::string bytes(const std::vector<unsigned char>& data) { return std::string(data.begin(), data.end()); }

TEST_F(ResolveTest, AnswerKeepsRawTxtBytesAndThePortInHostOrder) {
    // A value holding a zero byte, and an empty string inside the record.
    const std::vector<unsigned char> txt{4, 'k', '=', 0, 'v', 0, 3, 'x', '=', '1'};
    Reply answer = resolveReply("Printer._ipp._tcp.local.", "printer.local.", 0, txt);
    const unsigned char portBytes[2] = {0x1F, 0x90};
    std::memcpy(&answer.portNetworkOrder, portBytes, sizeof(portBytes));
    Script::onStart("DNSServiceResolve", {answer});
    Resolve_impl resolve;

    const Zelm::Error result = resolve.resolveService("Printer", "_ipp._tcp.", nullptr, 2, 0);

    expectError(result, kDNSServiceErr_NoError, Zelm::Error::Discovery);
    EXPECT_EQ(resolve.getPort(), 8080);
    EXPECT_EQ(resolve.getTxtRecord(), bytes(txt));
    EXPECT_EQ(resolve.getTxtRecord().size(), txt.size());
    EXPECT_EQ(resolve.getHosttarget(), "printer.local.");
    EXPECT_EQ(resolve.getFullname(), "Printer._ipp._tcp.local.");
    EXPECT_TRUE(resolve.isInitialized());  // completed by its reply

    const auto calls = Script::calls("DNSServiceResolve");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, "Printer");
    EXPECT_EQ(calls[0].regtype, "_ipp._tcp.");
    EXPECT_EQ(calls[0].domain, std::nullopt);  // the caller's null pointer, unchanged
    EXPECT_EQ(calls[0].interfaceIndex, 2u);
}

TEST_F(ResolveTest, BurstEndsWithTheFirstReplyWithoutMoreComing) {
    Script::onStart("DNSServiceResolve",
                    {resolveReply("first", "first.local.", 1, {1, 'a'}, kDNSServiceFlagsMoreComing),
                     resolveReply("second", "second.local.", 2, {1, 'b'}),
                     resolveReply("third", "third.local.", 3, {1, 'c'})});
    Resolve_impl resolve;

    const Zelm::Error result = resolve.resolveService("x", "_ipp._tcp.", "local.", 0, 0);

    EXPECT_TRUE(result.ok());
    EXPECT_EQ(resolve.getHosttarget(), "second.local.");
    EXPECT_EQ(resolve.getFullname(), "second");
    EXPECT_EQ(resolve.getPort(), 2);
    EXPECT_EQ(resolve.getTxtRecord(),
              "\x01"
              "b");
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

TEST_F(ResolveTest, ErrorReplyIsWrittenAndReportedAsNotInitialized) {
    Script::onStart("DNSServiceResolve", {errorReply(kDNSServiceErr_NameConflict)});
    Resolve_impl resolve;
    zelm_test::CoutCapture capture;

    const Zelm::Error result = resolve.resolveService("x", "_ipp._tcp.", "local.", 0, 0);

    expectError(result, kDNSServiceErr_NotInitialized, Zelm::Error::Service);
    EXPECT_EQ(result.code(), 4294901751u);
    EXPECT_EQ(capture.text(), "mDNS error: -65548: MDNS name conflict.\n");
    EXPECT_EQ(resolve.getHosttarget(), "");
}

TEST_F(ResolveTest, FailedStartClearsTheEarlierAnswerAndReturnsItsCode) {
    Script::onStart("DNSServiceResolve", {resolveReply("first", "first.local.", 1, {0})});
    Resolve_impl resolve;
    ASSERT_TRUE(resolve.resolveService("x", "_ipp._tcp.", "local.", 0, 0).ok());
    ASSERT_EQ(resolve.getTxtRecord(), std::string(1, '\0'));
    Script::failNextStart("DNSServiceResolve", kDNSServiceErr_BadParam);
    zelm_test::CoutCapture capture;

    const Zelm::Error result = resolve.resolveService("x", "_ipp._tcp.", "local.", 0, 0);

    expectError(result, kDNSServiceErr_BadParam, Zelm::Error::Service);
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(resolve.getHosttarget(), "");
    EXPECT_EQ(resolve.getTxtRecord(), "");
    EXPECT_EQ(resolve.getPort(), 0);
    EXPECT_FALSE(resolve.isInitialized());
}

TEST_F(ResolveTest, TimeOutReturnsNotInitializedAndLeavesItUninitialized) {
    Resolve_impl resolve;
    zelm_test::CoutCapture capture;

    const Zelm::Error result = resolve.resolveService("nobody", "_ipp._tcp.", "local.", 0, 0);

    expectError(result, kDNSServiceErr_NotInitialized, Zelm::Error::Service);
    EXPECT_FALSE(resolve.isInitialized());
    EXPECT_EQ(capture.text(), "mDNS error: -65563: MDNS background daemon not running.\n");
}

TEST_F(ResolveTest, SecondResolveWhileOneRunsIsRefusedAndChangesNothing) {
    std::promise<void> held;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Reply answer = resolveReply("A._ipp._tcp.local.", "a.local.", 631, {0});
    answer.beforeDelivery = [&held, released] {
        held.set_value();
        released.wait();
    };
    Script::onStart("DNSServiceResolve", {answer});
    Resolve_impl resolve;
    std::promise<Zelm::Error> firstResult;
    std::thread first(
        [&] { firstResult.set_value(resolve.resolveService("A", "_ipp._tcp.", "local.", 0, 0)); });
    held.get_future().wait();

    const Zelm::Error busy = resolve.resolveService("B", "_ipp._tcp.", "local.", 0, 0);
    release.set_value();
    first.join();

    EXPECT_EQ(busy.code(), Zelm::MDNS::BrowseOperationAlreadyInProgress::Code);
    EXPECT_EQ(busy.category(), Zelm::MDNS::BrowseOperationAlreadyInProgress().category());
    EXPECT_EQ(Script::calls("DNSServiceResolve").size(), 1u);
    EXPECT_TRUE(firstResult.get_future().get().ok());
    EXPECT_EQ(resolve.getHosttarget(), "a.local.");
    EXPECT_EQ(resolve.getPort(), 631);
}

}  // namespace

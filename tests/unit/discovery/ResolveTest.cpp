#include "discovery/Resolve_impl.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DoubleFixture.h"

namespace {

using dnssd_double::resolveReply;
using dnssd_double::Script;
using Zelm::MDNS::Apple::Resolve_impl;
using zelm_test::expectError;

using ResolveTest = zelm_test::DoubleFixture;

Zelm::Error resolveX(Resolve_impl& resolve) {
    return resolve.resolveService("x", "_ipp._tcp.", "local.", 0, 0);
}

TEST_F(ResolveTest, AnswerKeepsRawTxtBytesAndThePortInHostOrder) {
    // A value holding a zero byte, and an empty string inside the record.
    const std::vector<unsigned char> txt{4, 'k', '=', 0, 'v', 0, 3, 'x', '=', '1'};
    auto answer = resolveReply("Printer._ipp._tcp.local.", "printer.local.", 0, txt);
    const unsigned char portBytes[2] = {0x1F, 0x90};
    std::memcpy(&answer.portNetworkOrder, portBytes, sizeof(portBytes));
    Script::onStart("DNSServiceResolve", {answer});
    Resolve_impl resolve;

    expectError(resolve.resolveService("Printer", "_ipp._tcp.", nullptr, 2, 0), kDNSServiceErr_NoError,
                Zelm::Error::Discovery);

    EXPECT_EQ(resolve.getPort(), 8080);
    EXPECT_EQ(resolve.getTxtRecord(), std::string(txt.begin(), txt.end()));
    EXPECT_EQ(resolve.getHosttarget(), "printer.local.");
    EXPECT_EQ(resolve.getFullname(), "Printer._ipp._tcp.local.");
    EXPECT_TRUE(resolve.isInitialized());  // completed by its reply
    const auto call = Script::calls("DNSServiceResolve").at(0);
    EXPECT_EQ(call.name, "Printer");
    EXPECT_EQ(call.regtype, "_ipp._tcp.");
    EXPECT_EQ(call.domain, std::nullopt);  // the caller's null pointer, unchanged
    EXPECT_EQ(call.interfaceIndex, 2u);
}

TEST_F(ResolveTest, BurstEndsWithTheFirstReplyWithoutMoreComing) {
    Script::onStart("DNSServiceResolve",
                    {resolveReply("first", "first.local.", 1, {1, 'a'}, kDNSServiceFlagsMoreComing),
                     resolveReply("second", "second.local.", 2, {1, 'b'}),
                     resolveReply("third", "third.local.", 3, {1, 'c'})});
    Resolve_impl resolve;

    EXPECT_TRUE(resolveX(resolve).ok());
    EXPECT_EQ(resolve.getHosttarget(), "second.local.");
    EXPECT_EQ(resolve.getFullname(), "second");
    EXPECT_EQ(resolve.getPort(), 2);
    EXPECT_EQ(resolve.getTxtRecord(),
              "\x01"
              "b");
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

TEST_F(ResolveTest, ErrorReplyIsWrittenAndReportedAsNotInitialized) {
    Script::onStart("DNSServiceResolve", {dnssd_double::errorReply(kDNSServiceErr_NameConflict)});
    Resolve_impl resolve;
    zelm_test::CoutCapture capture;

    const Zelm::Error result = resolveX(resolve);

    expectError(result, kDNSServiceErr_NotInitialized, Zelm::Error::Service);
    EXPECT_EQ(result.code(), 4294901751u);
    EXPECT_EQ(capture.text(), "mDNS error: -65548: MDNS name conflict.\n");
    EXPECT_EQ(resolve.getHosttarget(), "");
}

TEST_F(ResolveTest, FailedStartClearsTheEarlierAnswerAndReturnsItsCode) {
    Script::onStart("DNSServiceResolve", {resolveReply("first", "first.local.", 1, {0})});
    Resolve_impl resolve;
    ASSERT_TRUE(resolveX(resolve).ok());
    ASSERT_EQ(resolve.getTxtRecord(), std::string(1, '\0'));
    Script::failNextStart("DNSServiceResolve", kDNSServiceErr_BadParam);
    zelm_test::CoutCapture capture;

    expectError(resolveX(resolve), kDNSServiceErr_BadParam, Zelm::Error::Service);
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(resolve.getHosttarget(), "");
    EXPECT_EQ(resolve.getTxtRecord(), "");
    EXPECT_EQ(resolve.getPort(), 0);
    EXPECT_FALSE(resolve.isInitialized());
}

TEST_F(ResolveTest, TimeOutReturnsNotInitializedAndLeavesItUninitialized) {
    Resolve_impl resolve;
    zelm_test::CoutCapture capture;

    expectError(resolveX(resolve), kDNSServiceErr_NotInitialized, Zelm::Error::Service);
    EXPECT_FALSE(resolve.isInitialized());
    EXPECT_EQ(capture.text(), "mDNS error: -65563: MDNS background daemon not running.\n");
}

TEST_F(ResolveTest, SecondResolveWhileOneRunsIsRefusedAndChangesNothing) {
    zelm_test::Gate gate;
    Script::onStart("DNSServiceResolve",
                    {gate.hold(resolveReply("A._ipp._tcp.local.", "a.local.", 631, {0}))});
    Resolve_impl resolve;
    Zelm::Error first;
    std::thread firstThread([&] { first = resolve.resolveService("A", "_ipp._tcp.", "local.", 0, 0); });
    gate.waitReached();

    const Zelm::Error busy = resolve.resolveService("B", "_ipp._tcp.", "local.", 0, 0);
    gate.release();
    firstThread.join();

    zelm_test::expectBusy(busy);
    EXPECT_EQ(Script::calls("DNSServiceResolve").size(), 1u);
    EXPECT_TRUE(first.ok());
    EXPECT_EQ(resolve.getHosttarget(), "a.local.");
    EXPECT_EQ(resolve.getPort(), 631);
}

}  // namespace

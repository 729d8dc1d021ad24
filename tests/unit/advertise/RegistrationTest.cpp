#include "RegisterFixture.h"

#include <zelm/mdns/MDNSError.h>

#include <atomic>
#include <cstring>

using dnssd_double::registerReply;
using dnssd_double::Reply;
using dnssd_double::Script;
using zelm_test::CoutCapture;
using zelm_test::registerHttp;
using zelm_test::TestableRegister;
using zelm_test::txtOf;

namespace {

class Registration : public zelm_test::RegisterTest {
protected:
    // Counts the replies that reach the component.
    Reply counted(Reply reply) {
        reply.beforeDelivery = [this] { ++delivered; };
        return reply;
    }
    // A successful reply that names nothing.
    static Reply nameless() {
        Reply reply = registerReply("", "_http._tcp.", "local.");
        reply.name.reset();
        return reply;
    }

    std::atomic<int> delivered{0};
};

TEST_F(Registration, HandsItsArgumentsToDNSServiceRegisterInThatCallsOrder) {
    TestableRegister component(false);
    const auto txt = txtOf({"a=1"});
    const Zelm::Error result =
        component.doServiceRegister("_http._tcp", 8080, static_cast<unsigned short>(txt.size()), txt.data(),
                                    "Kitchen", "local", "box.local", 3, kDNSServiceFlagsNoAutoRename);

    EXPECT_TRUE(result.ok());
    const auto calls = Script::calls("DNSServiceRegister");
    ASSERT_EQ(calls.size(), 1u);
    const auto& call = calls[0];
    EXPECT_EQ(call.regtype, "_http._tcp");
    EXPECT_EQ(call.name, "Kitchen");
    EXPECT_EQ(call.domain, "local");
    EXPECT_EQ(call.host, "box.local");
    EXPECT_EQ(call.interfaceIndex, 3u);
    EXPECT_EQ(call.flags, static_cast<DNSServiceFlags>(kDNSServiceFlagsNoAutoRename));
    EXPECT_EQ(call.context, component.context());
    // 8080 is 0x1F90; the wire wants the high byte first.
    unsigned char portBytes[2];
    std::memcpy(portBytes, &call.portNetworkOrder, sizeof portBytes);
    EXPECT_EQ(portBytes[0], 0x1F);
    EXPECT_EQ(portBytes[1], 0x90);
    EXPECT_TRUE(component.isInitialized());
}

TEST_F(Registration, PassesMissingTextsOnAsNull) {
    TestableRegister component(false);
    EXPECT_TRUE(
        component.doServiceRegister("_ipp._tcp", 631, 0, nullptr, nullptr, nullptr, nullptr, 0, 0).ok());

    const auto calls = Script::calls("DNSServiceRegister");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].regtype, "_ipp._tcp");
    EXPECT_FALSE(calls[0].name.has_value());
    EXPECT_FALSE(calls[0].domain.has_value());
    EXPECT_FALSE(calls[0].host.has_value());
}

TEST_F(Registration, SecondCallWhileRegisteredIsRefusedAndChangesNothing) {
    TestableRegister component(true);
    Script::onStart("DNSServiceRegister", {registerReply("Kitchen", "_http._tcp.", "local.")});
    ASSERT_TRUE(registerHttp(component, txtOf({"v=1"})).ok());

    const auto bufferBefore = component.txt();
    const std::thread* threadBefore = component.keepAlive();
    ASSERT_NE(threadBefore, nullptr);
    component.setLastStatus(kDNSServiceErr_Unknown);  // a marker the refusal must leave alone

    CoutCapture out;
    const Zelm::Error busy = registerHttp(component, txtOf({"v=2", "other=record"}));

    const Zelm::MDNS::BrowseOperationAlreadyInProgress expected;
    EXPECT_EQ(busy.code(), expected.code());
    EXPECT_EQ(busy.category(), expected.category());
    EXPECT_EQ(busy.message(), expected.message());
    EXPECT_EQ(component.txt(), bufferBefore);
    EXPECT_EQ(component.lastStatus(), kDNSServiceErr_Unknown);
    EXPECT_EQ(component.keepAlive(), threadBefore);
    EXPECT_EQ(Script::calls("DNSServiceRegister").size(), 1u);
    EXPECT_TRUE(component.isInitialized());
    EXPECT_EQ(out.text(), "");
}

TEST_F(Registration, StartFailureWritesThePrefixedLineAndReturnsTheUnsignedCode) {
    TestableRegister component(true);
    Script::failNextStart("DNSServiceRegister", kDNSServiceErr_BadParam);
    Zelm::Error result;
    {
        CoutCapture out;
        result = registerHttp(component);
        EXPECT_EQ(out.text(),
                  "ServiceRegister_impl: DNSServiceRegister err = mDNS error: -65540: MDNS Bad parameter.\n");
    }
    EXPECT_EQ(result.code(), 4294901756u);
    EXPECT_EQ(result.category(), Zelm::Error::Service);
    EXPECT_EQ(result.message(), "");
    EXPECT_EQ(component.lastStatus(), kDNSServiceErr_BadParam);
    EXPECT_FALSE(component.isInitialized());
    EXPECT_EQ(component.keepAlive(), nullptr);

    // Nothing is left open, so the next call may retry.
    Script::onStart("DNSServiceRegister", {registerReply("Kitchen", "_http._tcp.", "local.")});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_TRUE(component.isInitialized());
}

TEST_F(Registration, WaitEndsWithTheFirstReplyThatNamesTheService) {
    TestableRegister component(true);
    Script::onStart("DNSServiceRegister",
                    {counted(nameless()), counted(registerReply("Kitchen (2)", "_http._tcp.", "local.")),
                     counted(registerReply("Later", "_http._tcp.", "local."))});

    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(delivered, 2);
    EXPECT_EQ(component.confirmedName(), "Kitchen (2)");
    EXPECT_TRUE(component.isInitialized());
    EXPECT_NE(component.keepAlive(), nullptr);
}

TEST_F(Registration, LaterRegistrationWaitsForOneReplyOnlyBecauseTheOldNameIsKept) {
    TestableRegister component(true);
    Script::onStart("DNSServiceRegister", {registerReply("Kitchen", "_http._tcp.", "local.")});
    ASSERT_TRUE(registerHttp(component).ok());
    component.endLifeCycle();
    EXPECT_FALSE(component.isInitialized());
    EXPECT_EQ(component.keepAlive(), nullptr);
    EXPECT_EQ(component.confirmedName(), "Kitchen");

    Script::onStart("DNSServiceRegister",
                    {counted(nameless()), counted(registerReply("Kitchen (3)", "_http._tcp.", "local."))});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(Script::calls("DNSServiceRegister").size(), 2u);
    EXPECT_TRUE(component.isInitialized());
    EXPECT_NE(component.keepAlive(), nullptr);
}

TEST_F(Registration, WithoutWaitingReturnsBeforeAnyReplyIsRead) {
    TestableRegister component(false);
    Script::onStart("DNSServiceRegister", {counted(registerReply("Kitchen", "_http._tcp.", "local."))});

    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(component.confirmedName(), "");
    EXPECT_TRUE(component.isInitialized());
    EXPECT_NE(component.keepAlive(), nullptr);
}

TEST_F(Registration, ProcessingFailureEndsTheWaitSilentlyAndTheRegistrationStands) {
    TestableRegister component(true);
    Script::onStart("DNSServiceRegister", {dnssd_double::processFailure(kDNSServiceErr_ServiceNotRunning)});

    CoutCapture out;
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(component.isInitialized());
    EXPECT_NE(component.keepAlive(), nullptr);
}

TEST_F(Registration, ErrorReplyIsReportedAndLeavesTheComponentIdle) {
    TestableRegister component(true);
    Script::onStart("DNSServiceRegister",
                    {registerReply("Printer", "_ipp._tcp.", "local.", kDNSServiceErr_NameConflict)});
    Zelm::Error result;
    {
        CoutCapture out;
        result = registerHttp(component);
        EXPECT_EQ(out.text(), " Error Registering service: -65548(Printer._ipp._tcp.local.)\n");
    }
    EXPECT_EQ(result.code(), static_cast<unsigned int>(kDNSServiceErr_NameConflict));
    EXPECT_EQ(result.category(), Zelm::Error::Service);
    EXPECT_EQ(result.message(), "");
    EXPECT_EQ(component.lastStatus(), kDNSServiceErr_NameConflict);
    EXPECT_FALSE(component.isInitialized());
    EXPECT_EQ(component.keepAlive(), nullptr);
    EXPECT_EQ(Script::liveReferences(), 0u);
    EXPECT_EQ(component.confirmedName(), "");

    Script::onStart("DNSServiceRegister", {registerReply("Printer (2)", "_ipp._tcp.", "local.")});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(component.confirmedName(), "Printer (2)");
}

TEST_F(Registration, ErrorReplyWithMissingTextsStillWritesOneLine) {
    TestableRegister component(true);
    Reply reply = dnssd_double::errorReply(kDNSServiceErr_NameConflict);
    reply.regtype = "_ipp._tcp.";
    Script::onStart("DNSServiceRegister", {reply});

    CoutCapture out;
    EXPECT_EQ(registerHttp(component).code(), static_cast<unsigned int>(kDNSServiceErr_NameConflict));
    EXPECT_EQ(out.text(), " Error Registering service: -65548(._ipp._tcp.)\n");
}

TEST_F(Registration, EndLifeCycleWithdrawsTheRegistration) {
    TestableRegister component(true);
    Script::onStart("DNSServiceRegister", {registerReply("Kitchen", "_http._tcp.", "local.")});
    ASSERT_TRUE(registerHttp(component).ok());
    const DNSServiceRef ref = Script::calls("DNSServiceRegister")[0].ref;

    component.endLifeCycle();
    const auto deallocations = Script::calls("DNSServiceRefDeallocate");
    ASSERT_EQ(deallocations.size(), 1u);
    EXPECT_EQ(deallocations[0].ref, ref);
    EXPECT_FALSE(component.isInitialized());
    EXPECT_EQ(component.keepAlive(), nullptr);
    // The buffer outlives the registration.
    EXPECT_EQ(component.txt().size(), 128u);

    component.endLifeCycle();
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

TEST_F(Registration, NeverRegisteredComponentMakesNoDnsSdCall) {
    {
        TestableRegister component(true);
        component.startLifeCycle();
        component.endLifeCycle();
        EXPECT_FALSE(component.isInitialized());
    }
    EXPECT_TRUE(Script::calls().empty());
}

}  // namespace

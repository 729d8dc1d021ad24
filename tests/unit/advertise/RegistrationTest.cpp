#include <atomic>
#include <cstring>

#include "TestableRegister.h"

using dnssd_double::registerReply;
using dnssd_double::Reply;
using dnssd_double::Script;
using zelm_test::CoutCapture;
using zelm_test::expectError;
using zelm_test::registerHttp;
using zelm_test::TestableRegister;
using zelm_test::txtOf;

namespace {

class Registration : public zelm_test::DoubleFixture {
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
    static Reply kitchen(const char* name = "Kitchen") {
        return registerReply(name, "_http._tcp.", "local.");
    }

    std::atomic<int> delivered{0};
};

TEST_F(Registration, HandsItsArgumentsToDNSServiceRegisterInThatCallsOrder) {
    TestableRegister component(false);
    const auto txt = txtOf({"a=1"});
    EXPECT_TRUE(component
                    .doServiceRegister("_http._tcp", 8080, static_cast<unsigned short>(txt.size()),
                                       txt.data(), "Kitchen", "local", "box.local", 3,
                                       kDNSServiceFlagsNoAutoRename)
                    .ok());
    TestableRegister unnamed(false);
    EXPECT_TRUE(
        unnamed.doServiceRegister("_ipp._tcp", 631, 0, nullptr, nullptr, nullptr, nullptr, 0, 0).ok());

    const auto calls = Script::calls("DNSServiceRegister");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].regtype, "_http._tcp");
    EXPECT_EQ(calls[0].name, "Kitchen");
    EXPECT_EQ(calls[0].domain, "local");
    EXPECT_EQ(calls[0].host, "box.local");
    EXPECT_EQ(calls[0].interfaceIndex, 3u);
    EXPECT_EQ(calls[0].flags, static_cast<DNSServiceFlags>(kDNSServiceFlagsNoAutoRename));
    EXPECT_EQ(calls[0].context, component.context());
    // 8080 is 0x1F90; the wire wants the high byte first.
    unsigned char portBytes[2];
    std::memcpy(portBytes, &calls[0].portNetworkOrder, sizeof portBytes);
    EXPECT_EQ(portBytes[0], 0x1F);
    EXPECT_EQ(portBytes[1], 0x90);
    EXPECT_TRUE(component.isInitialized());
    // Missing texts go on as null pointers.
    EXPECT_FALSE(calls[1].name || calls[1].domain || calls[1].host);
}

TEST_F(Registration, SecondCallWhileRegisteredIsRefusedAndChangesNothing) {
    TestableRegister component(true);
    Script::onStart("DNSServiceRegister", {kitchen()});
    ASSERT_TRUE(registerHttp(component, txtOf({"v=1"})).ok());
    const auto bufferBefore = component.txt();
    const auto* threadBefore = component.keepAlive();
    ASSERT_NE(threadBefore, nullptr);
    component.setLastStatus(kDNSServiceErr_Unknown);  // a marker the refusal must leave alone
    CoutCapture out;

    zelm_test::expectBusy(registerHttp(component, txtOf({"v=2", "other=record"})));
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
    {
        CoutCapture out;
        const Zelm::Error result = registerHttp(component);
        EXPECT_EQ(out.text(),
                  "ServiceRegister_impl: DNSServiceRegister err = mDNS error: -65540: MDNS Bad parameter.\n");
        expectError(result, kDNSServiceErr_BadParam, Zelm::Error::Service);
        EXPECT_EQ(result.code(), 4294901756u);
    }
    EXPECT_EQ(component.lastStatus(), kDNSServiceErr_BadParam);
    EXPECT_FALSE(component.isInitialized());
    EXPECT_EQ(component.keepAlive(), nullptr);

    // Nothing is left open, so the next call may retry.
    Script::onStart("DNSServiceRegister", {kitchen()});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_TRUE(component.isInitialized());
}

// The first registration waits for a reply that names the service; a later
// one keeps the old name and so ends after the first successful reply.
TEST_F(Registration, WaitEndsWithTheFirstReplyThatNamesTheServiceOrLaterWithTheFirstReply) {
    TestableRegister component(true);
    Script::onStart("DNSServiceRegister",
                    {counted(nameless()), counted(kitchen("Kitchen (2)")), counted(kitchen("Later"))});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(delivered, 2);
    EXPECT_EQ(component.confirmedName(), "Kitchen (2)");
    EXPECT_TRUE(component.isInitialized());
    EXPECT_NE(component.keepAlive(), nullptr);
    component.endLifeCycle();

    Script::onStart("DNSServiceRegister", {counted(nameless()), counted(kitchen("Kitchen (3)"))});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(delivered, 3);
    EXPECT_TRUE(component.isInitialized());
    EXPECT_NE(component.keepAlive(), nullptr);
}

TEST_F(Registration, WithoutWaitingReturnsBeforeAnyReplyIsRead) {
    TestableRegister component(false);
    Script::onStart("DNSServiceRegister", {counted(kitchen())});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(component.confirmedName(), "");
    EXPECT_TRUE(component.isInitialized());
    EXPECT_NE(component.keepAlive(), nullptr);
}

// Each error reply ends the wait with its code and leaves the component Idle,
// so that the next call can register again.
TEST_F(Registration, ErrorReplyIsReportedAndLeavesTheComponentIdle) {
    Reply textless = dnssd_double::errorReply(kDNSServiceErr_NameConflict);
    textless.regtype = "_ipp._tcp.";
    const std::pair<Reply, const char*> cases[] = {
        {registerReply("Printer", "_ipp._tcp.", "local.", kDNSServiceErr_NameConflict),
         " Error Registering service: -65548(Printer._ipp._tcp.local.)\n"},
        {textless, " Error Registering service: -65548(._ipp._tcp.)\n"}};
    TestableRegister component(true);
    for (const auto& [reply, line] : cases) {
        Script::onStart("DNSServiceRegister", {reply});
        CoutCapture out;
        expectError(registerHttp(component), kDNSServiceErr_NameConflict, Zelm::Error::Service);
        EXPECT_EQ(out.text(), line);
        EXPECT_EQ(component.lastStatus(), kDNSServiceErr_NameConflict);
        EXPECT_FALSE(component.isInitialized());
        EXPECT_EQ(component.keepAlive(), nullptr);
        EXPECT_EQ(Script::liveReferences(), 0u);
        EXPECT_EQ(component.confirmedName(), "");
    }
    Script::onStart("DNSServiceRegister", {kitchen("Printer (2)")});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(component.confirmedName(), "Printer (2)");
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

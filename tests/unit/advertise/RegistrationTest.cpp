#include "ServiceRegister_impl.h"

#include <atomic>
#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::Test;
using std::chrono::milliseconds;

const std::string kTxt("\x06path=/", 7);

// Opens the component's state to the tests, lets them shorten the
// keep-alive period (else it is the production one), and records whether the
// keep-alive thread still ran when the reference went.
class Register : public Zelm::MDNS::Apple::ServiceRegister_impl {
public:
    explicit Register(bool wait = true) : ServiceRegister_impl(wait) {}
    Register(bool wait, int periodMs) : ServiceRegister_impl(wait, periodMs) {}
    Zelm::Error publish(const std::string& txt = kTxt) {
        return doServiceRegister("_http._tcp", 8080, static_cast<unsigned short>(txt.size()),
                                 txt.empty() ? nullptr : txt.data(), "Kitchen", "local", nullptr, 0, 0);
    }
    std::string confirmedName() {
        std::lock_guard<std::mutex> lock(registrationMutex);
        return registeredName;
    }
    const void* keepAlive() const { return keepAliveThread.get(); }
    int keepAlivePeriodMs() const { return keepAliveIntervalMs; }
    void leaveStopSignal() { keepAliveSemaphore.signal(); }
    void releaseSDRef() override {
        if (keepAliveThread) releasedUnderKeepAlive = true;
        ServiceRegister_impl::releaseSDRef();
    }
    bool releasedUnderKeepAlive = false;
};

// Never registered, an end of the life cycle makes no call. A registration
// hands its arguments on; its end stops the keep-alive (of the production
// period, far above the suite's time limit) at once, before withdrawing.
TEST(Registration, HandsItsArgumentsOnAndEndLifeCycleStopsTheKeepAliveAtOnce) {
    Register().endLifeCycle();
    EXPECT_TRUE(Double::calls().empty());
    Register component(false), unnamed(false);
    EXPECT_TRUE(component
                    .doServiceRegister("_http._tcp", 8080, 7, kTxt.data(), "Kitchen", "local", "box.local", 3,
                                       kDNSServiceFlagsNoAutoRename)
                    .ok());
    EXPECT_TRUE(
        unnamed.doServiceRegister("_ipp._tcp", 631, 0, nullptr, nullptr, nullptr, nullptr, 0, 0).ok());
    const auto calls = Double::calls("DNSServiceRegister");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args,
              "flags=8 if=3 name=Kitchen type=_http._tcp domain=local host=box.local port=8080");
    EXPECT_EQ(calls[1].args, "flags=0 if=0 name=(null) type=_ipp._tcp domain=(null) host=(null) port=631");
    EXPECT_TRUE(component.isInitialized());
    EXPECT_EQ(component.keepAlivePeriodMs(), 110000);
    component.endLifeCycle();
    EXPECT_FALSE(component.releasedUnderKeepAlive);
    EXPECT_EQ(component.keepAlive(), nullptr);
    EXPECT_FALSE(component.isInitialized());
    EXPECT_TRUE(Double::calls("DNSServiceUpdateRecord").empty());
    const auto deallocations = Double::calls("DNSServiceRefDeallocate");
    ASSERT_EQ(deallocations.size(), 1u);
    EXPECT_EQ(deallocations[0].ref, calls[0].ref);
}

// The caller's record is padded with zeros to 128 bytes (an empty one is a
// single zero byte); registration and every refresh send the same bytes.
// Refreshes go to the registration's reference one period apart, despite
// failures. A stop signal left unconsumed from before (a stop that met a
// refresh) must not end the keep-alive thread.
TEST(KeepAlive, RefreshesSendTheNormalisedRecordOnePeriodApartDespiteFailures) {
    constexpr int periodMs = 40;
    for (const auto& [length, sent] :
         {std::pair<size_t, size_t>{0, 1}, {1, 128}, {127, 128}, {128, 128}, {65535, 65535}}) {
        Double::reset();
        std::string caller(length, '\0');
        for (size_t i = 0; i < length; ++i) caller[i] = static_cast<char>(i % 251 + 1);
        std::string expected = caller;
        expected.resize(sent, '\0');
        for (int i = 0; i < 3; ++i) Double::failNextStart("DNSServiceUpdateRecord", kDNSServiceErr_Unknown);
        Register component(false, periodMs);
        component.leaveStopSignal();
        ASSERT_TRUE(component.publish(caller).ok());
        ASSERT_TRUE(Double::waitForCalls("DNSServiceUpdateRecord", 3));
        component.endLifeCycle();
        const Call registered = Double::calls("DNSServiceRegister").at(0);
        EXPECT_EQ(registered.data, expected) << length;
        auto previous = registered.at;
        for (const Call& update : Double::calls("DNSServiceUpdateRecord")) {
            EXPECT_EQ(update.data, expected) << length;
            EXPECT_EQ(update.ref, registered.ref);
            EXPECT_EQ(update.args, "flags=0 record=null ttl=220000");
            EXPECT_GE(update.at - previous, milliseconds(periodMs));
            previous = update.at;
        }
    }
}

// The first registration waits for a reply that names the service; a later
// one keeps the old name and so ends after the first reply. A failing
// DNSServiceProcessResult ends the wait silently, as a success. Without
// waiting, no reply is read at all.
TEST(Registration, WaitEndsWithANamingReplyAnyLaterReplyOrAProcessingFailure) {
    std::atomic<int> delivered{0};
    const auto counted = [&](const char* name) { return after([&] { ++delivered; }, registerReply(name)); };
    Register component;
    Double::onStart("DNSServiceRegister", {counted(""), counted("Kitchen (2)"), counted("Later")});
    EXPECT_TRUE(component.publish().ok());
    EXPECT_EQ(delivered, 2);
    EXPECT_EQ(component.confirmedName(), "Kitchen (2)");
    component.endLifeCycle();
    Double::onStart("DNSServiceRegister", {counted(nullptr), counted("X")});
    EXPECT_TRUE(component.publish().ok());
    EXPECT_EQ(delivered, 3);
    component.endLifeCycle();

    Register fresh, noWait(false);
    Double::onStart("DNSServiceRegister", {processFailure(kDNSServiceErr_ServiceNotRunning)});
    CoutCapture capture;
    EXPECT_TRUE(fresh.publish().ok());
    EXPECT_NE(fresh.keepAlive(), nullptr);
    EXPECT_TRUE(fresh.isInitialized());
    EXPECT_EQ(capture.text(), "");
    Double::onStart("DNSServiceRegister", {counted("Kitchen")});
    EXPECT_TRUE(noWait.publish().ok());
    EXPECT_NE(noWait.keepAlive(), nullptr);
    EXPECT_EQ(delivered, 3);
}

// A failed start and each error reply end the call with their code and line,
// and leave the component Idle for the next registration. A call while
// registered is refused and changes nothing.
TEST(Registration, StartFailureOrErrorReplyLeavesItIdleAndASecondCallIsRefused) {
    const struct {
        DNSServiceErrorType code;
        const char* line;
        Reply reply{};  // none: the start fails
    } cases[] = {
        {kDNSServiceErr_BadParam,
         "ServiceRegister_impl: DNSServiceRegister err = mDNS error: -65540: MDNS Bad parameter.\n"},
        {kDNSServiceErr_NameConflict, " Error Registering service: -65548(Printer._http._tcp.local.)\n",
         registerReply("Printer", kDNSServiceErr_NameConflict)},
        {kDNSServiceErr_NameConflict, " Error Registering service: -65548(.)\n",
         registerReply(nullptr, kDNSServiceErr_NameConflict)}};
    Register component;
    for (const auto& c : cases) {
        c.reply ? Double::onStart("DNSServiceRegister", {c.reply})
                : Double::failNextStart("DNSServiceRegister", c.code);
        CoutCapture capture;
        expectError(component.publish(), c.code, Zelm::Error::Service);
        EXPECT_EQ(capture.text(), c.line);
        EXPECT_FALSE(component.isInitialized());
        EXPECT_EQ(component.keepAlive(), nullptr);
    }
    Double::onStart("DNSServiceRegister", {registerReply("Printer (2)")});
    EXPECT_TRUE(component.publish().ok());
    EXPECT_EQ(component.confirmedName(), "Printer (2)");
    const void* keepAlive = component.keepAlive();
    CoutCapture capture;
    expectBusy(component.publish("\x03v=2"));
    EXPECT_EQ(component.keepAlive(), keepAlive);
    EXPECT_EQ(Double::calls("DNSServiceRegister").size(), 4u);
    EXPECT_TRUE(component.isInitialized());
    EXPECT_EQ(component.confirmedName(), "Printer (2)");
    EXPECT_EQ(capture.text(), "");
}

// Another thread ends the life cycle while doServiceRegister waits, at
// varying moments. Whatever the order, the reference is never used after its
// deallocation, no thread is left behind, and the component ends Idle.
TEST(KeepAlive, EndLifeCycleDuringTheWaitNeverRacesTheWaitingThread) {
    for (int round = 0; round < 100; ++round) {
        const bool confirmed = round % 2 == 0;
        Register component(true, 1);
        if (confirmed) Double::onStart("DNSServiceRegister", {registerReply("R")});
        Zelm::Error result;
        std::thread registrar([&] { result = component.publish(); });
        ASSERT_TRUE(Double::waitForCalls("DNSServiceRegister", round + 1));
        for (int spin = 0; spin < (round % 11) * 40; ++spin) std::this_thread::yield();
        component.endLifeCycle();
        registrar.join();
        // Unconfirmed, nothing but the tear-down can end the wait.
        EXPECT_TRUE((confirmed && result.ok()) ||
                    result.code() == static_cast<unsigned int>(kDNSServiceErr_BadReference))
            << "round " << round << ": code " << result.code();
        EXPECT_FALSE(component.isInitialized());
        EXPECT_EQ(component.keepAlive(), nullptr);
        EXPECT_FALSE(component.releasedUnderKeepAlive);
    }
}

}  // namespace

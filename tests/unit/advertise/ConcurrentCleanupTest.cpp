#include "RegisterFixture.h"

using dnssd_double::registerReply;
using dnssd_double::Script;
using zelm_test::registerHttp;
using zelm_test::TestableRegister;

namespace {

using ConcurrentCleanup = zelm_test::RegisterTest;

// Another thread ends the life cycle while doServiceRegister waits for the
// daemon, at varying moments: before the wait starts, during it, or after a
// confirmation (when one is scripted) while the keep-alive thread starts.
// Whatever the order, the reference is never used after its deallocation,
// no thread is left behind, and the component ends Idle.
TEST_F(ConcurrentCleanup, EndLifeCycleDuringTheWaitNeverRacesTheWaitingThread) {
    constexpr int rounds = 300;
    for (int round = 0; round < rounds; ++round) {
        Script::reset();
        const bool confirmed = round % 2 == 0;
        TestableRegister component(true, 1);
        if (confirmed) {
            Script::onStart("DNSServiceRegister", {registerReply("Race", "_http._tcp.", "local.")});
        }
        Zelm::Error result;
        std::thread registrar([&] { result = registerHttp(component); });
        const bool started = Script::waitForCalls("DNSServiceRegister", 1);
        for (int spin = 0; spin < (round % 11) * 40; ++spin) std::this_thread::yield();
        component.endLifeCycle();
        registrar.join();
        ASSERT_TRUE(started);

        if (confirmed) {
            EXPECT_TRUE(result.ok() ||
                        result.code() == static_cast<unsigned int>(kDNSServiceErr_BadReference))
                << "round " << round << ": code " << result.code();
        } else {
            // Nothing but the tear-down can end this wait.
            EXPECT_EQ(result.code(), static_cast<unsigned int>(kDNSServiceErr_BadReference))
                << "round " << round;
            EXPECT_EQ(result.category(), Zelm::Error::Service);
        }
        EXPECT_FALSE(component.isInitialized()) << "round " << round;
        EXPECT_EQ(component.keepAlive(), nullptr) << "round " << round;
        ASSERT_EQ(Script::liveReferences(), 0u) << "round " << round;
        ASSERT_EQ(Script::violations(), 0u) << "round " << round;
    }
}

TEST_F(ConcurrentCleanup, ComponentRegistersAgainAfterAnInterruptedWait) {
    TestableRegister component(true);
    Zelm::Error interrupted;
    std::thread registrar([&] { interrupted = registerHttp(component); });
    ASSERT_TRUE(Script::waitForCalls("DNSServiceRegister", 1));
    component.endLifeCycle();
    registrar.join();
    EXPECT_EQ(interrupted.code(), static_cast<unsigned int>(kDNSServiceErr_BadReference));
    EXPECT_EQ(component.lastStatus(), kDNSServiceErr_BadReference);

    Script::onStart("DNSServiceRegister", {registerReply("Again", "_http._tcp.", "local.")});
    EXPECT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(component.confirmedName(), "Again");
    EXPECT_NE(component.keepAlive(), nullptr);
    component.endLifeCycle();
}

}  // namespace

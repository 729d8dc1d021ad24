#include "TestableRegister.h"

using dnssd_double::Script;
using zelm_test::TestableRegister;

namespace {

using ConcurrentCleanup = zelm_test::DoubleFixture;

// Another thread ends the life cycle while doServiceRegister waits for the
// daemon, at varying moments: before the wait starts, during it, or after a
// confirmation (when one is scripted) while the keep-alive thread starts.
// Whatever the order, the reference is never used after its deallocation,
// no thread is left behind, and the component ends Idle.
TEST_F(ConcurrentCleanup, EndLifeCycleDuringTheWaitNeverRacesTheWaitingThread) {
    for (int round = 0; round < 300; ++round) {
        Script::reset();
        const bool confirmed = round % 2 == 0;
        TestableRegister component(true, 1);
        if (confirmed)
            Script::onStart("DNSServiceRegister", {dnssd_double::registerReply("R", "_h._tcp.", "local.")});
        Zelm::Error result;
        std::thread registrar([&] { result = zelm_test::registerHttp(component); });
        const bool started = Script::waitForCalls("DNSServiceRegister", 1);
        for (int spin = 0; spin < (round % 11) * 40; ++spin) std::this_thread::yield();
        component.endLifeCycle();
        registrar.join();
        ASSERT_TRUE(started);

        // Unconfirmed, nothing but the tear-down can end the wait.
        const auto interrupted = static_cast<unsigned int>(kDNSServiceErr_BadReference);
        EXPECT_TRUE((confirmed && result.ok()) || result.code() == interrupted)
            << "round " << round << ": code " << result.code();
        if (!result.ok()) {
            EXPECT_EQ(result.category(), Zelm::Error::Service);
        }
        EXPECT_FALSE(component.isInitialized()) << "round " << round;
        EXPECT_EQ(component.keepAlive(), nullptr) << "round " << round;
        ASSERT_EQ(Script::liveReferences(), 0u) << "round " << round;
        ASSERT_EQ(Script::violations(), 0u) << "round " << round;
    }
}

}  // namespace

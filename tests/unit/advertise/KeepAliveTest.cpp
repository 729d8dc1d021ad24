#include "RegisterFixture.h"

#include <atomic>
#include <memory>

using dnssd_double::Script;
using zelm_test::registerHttp;
using zelm_test::TestableRegister;

namespace {

using KeepAlive = zelm_test::RegisterTest;
using std::chrono::milliseconds;

TEST_F(KeepAlive, ProductionPeriodIs110SecondsAndStopDoesNotWaitItOut) {
    TestableRegister component(false);
    EXPECT_EQ(component.interval(), 110000);
    ASSERT_TRUE(registerHttp(component).ok());
    EXPECT_EQ(component.interval(), 110000);
    ASSERT_NE(component.keepAlive(), nullptr);

    // Returns at once (the suite's time limit is far below 110 s) and sends
    // nothing: the first refresh is due a full period after the start.
    component.endLifeCycle();
    EXPECT_EQ(component.keepAlive(), nullptr);
    EXPECT_EQ(component.interval(), 0);
    EXPECT_TRUE(Script::calls("DNSServiceUpdateRecord").empty());
}

TEST_F(KeepAlive, RefreshesComeOnePeriodApartDespiteFailuresAndEndWithTheStop) {
    constexpr int periodMs = 40;
    Script::setUpdateRecordResult(kDNSServiceErr_Unknown);
    TestableRegister component(false, periodMs);
    ASSERT_TRUE(registerHttp(component).ok());
    ASSERT_TRUE(Script::waitForCalls("DNSServiceUpdateRecord", 3));
    component.endLifeCycle();
    const size_t refreshes = Script::calls("DNSServiceUpdateRecord").size();
    std::this_thread::sleep_for(milliseconds(3 * periodMs));
    EXPECT_EQ(Script::calls("DNSServiceUpdateRecord").size(), refreshes) << "refreshed after the stop";
    EXPECT_EQ(Script::calls().back().function, "DNSServiceRefDeallocate");

    const auto registered = Script::calls("DNSServiceRegister");
    const auto updates = Script::calls("DNSServiceUpdateRecord");
    ASSERT_EQ(registered.size(), 1u);
    ASSERT_GE(updates.size(), 3u);
    auto previous = registered[0].at;
    for (const auto& update : updates) {
        EXPECT_EQ(update.ref, registered[0].ref);
        EXPECT_TRUE(update.recordRefNull);
        EXPECT_EQ(update.flags, 0u);
        EXPECT_EQ(update.ttl, 220000u);
        EXPECT_EQ(update.data, registered[0].data);
        EXPECT_GE(update.at - previous, milliseconds(periodMs));
        previous = update.at;
    }
}

TEST_F(KeepAlive, DestroyingARegisteredComponentEndsTheThreadBeforeTheReferenceGoes) {
    // A refresh every millisecond, destroyed at varying moments: a thread
    // still running at the deallocation would sooner or later refresh a dead
    // reference (a violation of the double) or after the deallocation. The
    // reader keeps the double's lock busy, so that refreshes linger inside
    // DNSServiceUpdateRecord where a premature deallocation overtakes them.
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) (void)Script::calls();
    });
    struct StopReader {
        std::atomic<bool>& reading;
        std::thread& reader;
        ~StopReader() {
            reading = false;
            reader.join();
        }
    } stopReader{reading, reader};
    for (int round = 0; round < 300; ++round) {
        Script::reset();
        auto component = std::make_unique<TestableRegister>(false, 1);
        ASSERT_TRUE(registerHttp(*component).ok());
        ASSERT_TRUE(Script::waitForCalls("DNSServiceUpdateRecord", 1 + round % 3));
        for (int spin = 0; spin < (round % 7) * 30; ++spin) std::this_thread::yield();
        const DNSServiceRef ref = Script::calls("DNSServiceRegister").at(0).ref;
        component.reset();

        const auto calls = Script::calls();
        ASSERT_EQ(calls.back().function, "DNSServiceRefDeallocate") << "round " << round;
        EXPECT_EQ(calls.back().ref, ref);
        ASSERT_EQ(Script::violations(), 0u) << "round " << round;
    }
}

TEST_F(KeepAlive, StartingTwiceKeepsOneThreadAndStoppingTwiceIsHarmless) {
    TestableRegister component(false);
    ASSERT_TRUE(registerHttp(component).ok());
    const std::thread* running = component.keepAlive();
    const int threads = zelm_test::threadCount();

    component.startKeepAliveThread();
    EXPECT_EQ(component.keepAlive(), running);
    EXPECT_EQ(zelm_test::threadCount(), threads);

    component.stopKeepAliveThread();
    EXPECT_EQ(component.keepAlive(), nullptr);
    component.stopKeepAliveThread();
    EXPECT_EQ(component.keepAlive(), nullptr);
    component.endLifeCycle();
}

TEST_F(KeepAlive, NewRegistrationDropsAStopSignalLeftInTheSemaphore) {
    TestableRegister component(false, 5);
    ASSERT_TRUE(registerHttp(component).ok());
    component.endLifeCycle();
    // A stop whose thread ended on the interval leaves its signal unconsumed.
    component.leaveStopSignal();

    ASSERT_TRUE(registerHttp(component).ok());
    ASSERT_NE(component.keepAlive(), nullptr);
    // Had the signal survived, the new thread would end at its first wait.
    const size_t before = Script::calls("DNSServiceUpdateRecord").size();
    ASSERT_TRUE(Script::waitForCalls("DNSServiceUpdateRecord", before + 2));
    const DNSServiceRef second = Script::calls("DNSServiceRegister")[1].ref;
    EXPECT_EQ(Script::calls("DNSServiceUpdateRecord").back().ref, second);
    component.endLifeCycle();
}

}  // namespace

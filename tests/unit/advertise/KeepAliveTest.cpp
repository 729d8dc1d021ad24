#include <atomic>
#include <memory>

#include "TestableRegister.h"

using dnssd_double::Script;
using zelm_test::registerHttp;
using zelm_test::TestableRegister;

namespace {

using KeepAlive = zelm_test::DoubleFixture;
using std::chrono::milliseconds;

TEST_F(KeepAlive, ProductionPeriodIs110SecondsAndEndLifeCycleWithdrawsAtOnce) {
    TestableRegister component(false);
    EXPECT_EQ(component.interval(), 110000);
    ASSERT_TRUE(registerHttp(component).ok());
    ASSERT_NE(component.keepAlive(), nullptr);

    // Returns at once (the suite's time limit is far below 110 s) and sends
    // nothing: the first refresh is due a full period after the start.
    component.endLifeCycle();
    EXPECT_EQ(component.keepAlive(), nullptr);
    EXPECT_FALSE(component.isInitialized());
    EXPECT_TRUE(Script::calls("DNSServiceUpdateRecord").empty());
    const auto deallocations = Script::calls("DNSServiceRefDeallocate");
    ASSERT_EQ(deallocations.size(), 1u);
    EXPECT_EQ(deallocations[0].ref, Script::calls("DNSServiceRegister")[0].ref);
    EXPECT_EQ(component.txt().size(), 128u);  // the buffer outlives the registration

    component.endLifeCycle();
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
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

    const auto registered = Script::calls("DNSServiceRegister").at(0);
    auto previous = registered.at;
    for (const auto& update : Script::calls("DNSServiceUpdateRecord")) {
        EXPECT_EQ(update.ref, registered.ref);
        EXPECT_TRUE(update.recordRefNull);
        EXPECT_EQ(update.flags, 0u);
        EXPECT_EQ(update.ttl, 220000u);
        EXPECT_EQ(update.data, registered.data);
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
    for (int round = 0; round < 300 && !HasFailure(); ++round) {
        Script::reset();
        auto component = std::make_unique<TestableRegister>(false, 1);
        EXPECT_TRUE(registerHttp(*component).ok());
        EXPECT_TRUE(Script::waitForCalls("DNSServiceUpdateRecord", 1 + round % 3));
        for (int spin = 0; spin < (round % 7) * 30; ++spin) std::this_thread::yield();
        const DNSServiceRef ref = Script::calls("DNSServiceRegister").at(0).ref;
        component.reset();

        const auto calls = Script::calls();
        EXPECT_EQ(calls.back().function, "DNSServiceRefDeallocate") << "round " << round;
        EXPECT_EQ(calls.back().ref, ref);
        EXPECT_EQ(Script::violations(), 0u) << "round " << round;
    }
    reading = false;
    reader.join();
}

}  // namespace

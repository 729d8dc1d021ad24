#include <zelm/Semaphore.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(Semaphore, SignalGivenBeforeTheWaitEndsItAtOnceAndIsConsumed) {
    Zelm::Semaphore semaphore(0);
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait_for_milliseconds(60000));
    EXPECT_FALSE(semaphore.wait_for_milliseconds(0));
}

TEST(Semaphore, CountsSignals) {
    Zelm::Semaphore semaphore(0);
    semaphore.signal();
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait_for_milliseconds(0));
    EXPECT_TRUE(semaphore.wait_for_milliseconds(0));
    EXPECT_FALSE(semaphore.wait_for_milliseconds(0));
}

TEST(Semaphore, ResetDropsPendingSignals) {
    Zelm::Semaphore semaphore(0);
    semaphore.signal();
    semaphore.reset();
    EXPECT_FALSE(semaphore.wait_for_milliseconds(20));
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait_for_milliseconds(0));
}

TEST(Semaphore, TimeOutDoesNotReturnEarly) {
    Zelm::Semaphore semaphore(0);
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        EXPECT_FALSE(semaphore.wait_for_milliseconds(30));
        EXPECT_GE(Clock::now() - start, milliseconds(30));
    }
}

TEST(Semaphore, SignalFromAnotherThreadWakesTheWaiter) {
    Zelm::Semaphore semaphore(0);
    std::thread signaller([&] {
        std::this_thread::sleep_for(milliseconds(20));
        semaphore.signal();
    });
    EXPECT_TRUE(semaphore.wait_for_milliseconds(60000));
    signaller.join();
}

TEST(Semaphore, NegativeTimeIsAnImmediateCheck) {
    Zelm::Semaphore semaphore(0);
    EXPECT_FALSE(semaphore.wait_for_milliseconds(-5));
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait_for_milliseconds(-5));
}

}  // namespace

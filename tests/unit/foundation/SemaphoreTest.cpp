#include <zelm/Semaphore.h>

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(Semaphore, SignalsGivenBeforeTheWaitAreCountedAndConsumed) {
    Zelm::Semaphore semaphore(0);
    semaphore.signal();
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait_for_milliseconds(60000));
    EXPECT_TRUE(semaphore.wait_for_milliseconds(0));
    EXPECT_FALSE(semaphore.wait_for_milliseconds(-5));
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
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(semaphore.wait_for_milliseconds(30));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    }
}

}  // namespace

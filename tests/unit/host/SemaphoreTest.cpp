#include <zelm/Semaphore.h>

#include <gtest/gtest.h>

#include <chrono>

namespace {

// What the components rely on: a signal given before the wait is kept until
// a wait takes it, reset() drops it, and a timed wait that runs out returns
// false, not early.
TEST(Semaphore, KeepsASignalUntilTakenOrResetAndTimesOutAsFalse) {
    Zelm::Semaphore semaphore(0);
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait_for_milliseconds(60000));
    semaphore.signal();
    semaphore.reset();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.wait_for_milliseconds(30));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(30));
}

}  // namespace

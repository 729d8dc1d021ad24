// main() of every unit suite: each test must leave no thread behind and
// nothing that a registered leak check reports.

#include <unistd.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"

namespace Zelm::Test {

namespace {

bool taskListed(pid_t tid) { return ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

class LeakListener : public ::testing::EmptyTestEventListener {
public:
    explicit LeakListener(int threads) : threads_(threads) {}
    void OnTestStart(const ::testing::TestInfo&) override {
        for (auto& check : leakChecks()) check.reset();
    }
    // Runs before the result printer's OnTestEnd, so a failure here is
    // reported as the test's own.
    void OnTestEnd(const ::testing::TestInfo&) override {
        for (auto& check : leakChecks()) EXPECT_EQ(check.leftovers(), "");
        const int now = settledThreadCount(threads_);
        EXPECT_EQ(now, threads_) << "threads left behind";
        threads_ = now;
    }

private:
    int threads_;
};
}  // namespace

}  // namespace Zelm::Test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // ThreadSanitizer starts a helper thread with the process's first thread:
    // let that happen now, and wait until this first thread is gone.
    pid_t tid = 0;
    std::thread([&tid] { tid = ::gettid(); }).join();
    while (Zelm::Test::taskListed(tid)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::testing::UnitTest::GetInstance()->listeners().Append(
        new Zelm::Test::LeakListener(Zelm::Test::threadCount()));
    return RUN_ALL_TESTS();
}

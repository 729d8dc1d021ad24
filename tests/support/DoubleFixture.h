#pragma once

// Fixture of the unit suites over the scripted DNS-SD double: every test
// starts from an empty script and must leave no DNS-SD reference, no misuse
// of the library and no thread behind.

#include <dns_sd.h>
#include <gtest/gtest.h>
#include <zelm/Error.h>
#include <zelm/mdns/MDNSError.h>

#include <chrono>
#include <future>
#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace zelm_test {

class DoubleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dnssd_double::Script::reset();
        // ThreadSanitizer starts a helper thread with the process's first
        // thread; let that happen before counting. The joined thread leaves
        // /proc a moment after the join (under qemu-user, much later).
        int withIt = 0;
        std::thread([&withIt] { withIt = threadCount(); }).join();
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
             threadCount() >= withIt && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        threadsBefore_ = threadCount();
    }

    void TearDown() override {
        EXPECT_EQ(dnssd_double::Script::liveReferences(), 0u);
        EXPECT_EQ(dnssd_double::Script::violations(), 0u);
        // A joined thread can linger in /proc for a moment after the join.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (threadCount() != threadsBefore_ && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(threadCount(), threadsBefore_);
    }

private:
    int threadsBefore_ = 0;
};

// Expects `error` to carry `code` (a DNS-SD code, as unsigned), `category`
// and an empty message.
inline void expectError(const Zelm::Error& error, DNSServiceErrorType code, Zelm::Error::Category category) {
    EXPECT_EQ(error.code(), static_cast<unsigned int>(code));
    EXPECT_EQ(error.category(), category);
    EXPECT_EQ(error.message(), "");
}

inline void expectBusy(const Zelm::Error& error) {
    const Zelm::MDNS::BrowseOperationAlreadyInProgress busy;
    EXPECT_EQ(error.code(), busy.code());
    EXPECT_EQ(error.category(), busy.category());
    EXPECT_EQ(error.message(), busy.message());
}

// Holds the delivery of a scripted reply until release(), so that a test
// knows where the processing thread is while it acts on another.
class Gate {
public:
    dnssd_double::Reply hold(dnssd_double::Reply reply) {
        reply.beforeDelivery = [this] {
            reached_.set_value();
            opened_.wait();
        };
        return reply;
    }
    void waitReached() { reached_.get_future().wait(); }
    void release() { open_.set_value(); }

private:
    std::promise<void> reached_;
    std::promise<void> open_;
    std::shared_future<void> opened_ = open_.get_future().share();
};

}  // namespace zelm_test

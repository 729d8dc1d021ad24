#pragma once

#include <gtest/gtest.h>
#include <zelm/Error.h>
#include <zelm/mdns/Info.h>

#include <chrono>
#include <ostream>
#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

// Every discovery test starts from an empty script and must leave no DNS-SD
// reference, no misuse of the library and no thread behind.
class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        dnssd_double::Script::reset();
        // A sanitizer may start a helper thread of its own with the first
        // thread of the process; let that happen before counting.
        std::thread([] {}).join();
        threadsBefore_ = zelm_test::threadCount();
    }

    void TearDown() override {
        EXPECT_EQ(dnssd_double::Script::liveReferences(), 0u);
        EXPECT_EQ(dnssd_double::Script::violations(), 0u);
        // A joined thread can linger in /proc for a moment after its join.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (zelm_test::threadCount() != threadsBefore_ && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(zelm_test::threadCount(), threadsBefore_);
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

namespace Zelm::MDNS {
// Readable failure messages for browse entries.
inline void PrintTo(const Info& info, std::ostream* out) {
    *out << '{' << info.serviceName << ", " << info.regtype << ", " << info.replyDomain << ", "
         << info.interfaceIndex << '}';
}
}  // namespace Zelm::MDNS

#pragma once

// Shared set-up of the registration suites: a test view of the component and
// a fixture that checks that nothing outlives a test.

#include "advertise/ServiceRegister_impl.h"

#include <ScriptedDnsSd.h>
#include <TestSupport.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelm_test {

// Opens the component's state to the tests and lets them shorten the
// keep-alive period.
class TestableRegister : public Zelm::MDNS::Apple::ServiceRegister_impl {
public:
    explicit TestableRegister(bool waitForRegistration) : ServiceRegister_impl(waitForRegistration) {}
    TestableRegister(bool waitForRegistration, int keepAlivePeriodMs)
        : ServiceRegister_impl(waitForRegistration, keepAlivePeriodMs) {}

    using ServiceRegister_impl::startKeepAliveThread;
    using ServiceRegister_impl::stopKeepAliveThread;

    void* context() { return static_cast<ServiceRegister_impl*>(this); }
    std::string confirmedName() {
        std::lock_guard<std::mutex> lock(registrationMutex);
        return registeredName;
    }
    std::vector<unsigned char> txt() const { return {txtBuffer.begin(), txtBuffer.end()}; }
    const std::thread* keepAlive() const { return keepAliveThread.get(); }
    int interval() const { return keepAliveIntervalMs; }
    DNSServiceErrorType lastStatus() const { return lastError; }
    void setLastStatus(DNSServiceErrorType code) { lastError = code; }
    void leaveStopSignal() { keepAliveSemaphore.signal(); }
};

// TXT wire form of key=value strings.
inline std::vector<unsigned char> txtOf(const std::vector<std::string>& entries) {
    std::vector<unsigned char> wire;
    for (const auto& entry : entries) {
        wire.push_back(static_cast<unsigned char>(entry.size()));
        wire.insert(wire.end(), entry.begin(), entry.end());
    }
    return wire;
}

inline Zelm::Error registerHttp(Zelm::MDNS::Apple::ServiceRegister_impl& component,
                                const std::vector<unsigned char>& txt = txtOf({"path=/"}),
                                const char* name = "Kitchen") {
    return component.doServiceRegister("_http._tcp", 8080, static_cast<unsigned short>(txt.size()),
                                       txt.empty() ? nullptr : txt.data(), name, "local", nullptr, 0, 0);
}

class RegisterTest : public ::testing::Test {
protected:
    void SetUp() override {
        dnssd_double::Script::reset();
        // A sanitizer may start a helper thread with the process's first
        // thread; let that happen before counting.
        std::thread([] {}).join();
        threadsBefore_ = threadCount();
    }

    void TearDown() override {
        EXPECT_EQ(dnssd_double::Script::liveReferences(), 0u);
        EXPECT_EQ(dnssd_double::Script::violations(), 0u);
        EXPECT_EQ(settledThreadCount(), threadsBefore_);
    }

    // A joined thread can linger in /proc for a moment after the join.
    int settledThreadCount() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int count = threadCount();
        while (count != threadsBefore_ && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            count = threadCount();
        }
        return count;
    }

private:
    int threadsBefore_ = 0;
};

}  // namespace zelm_test

#pragma once

// A test view of the registration component, and a short way to register.

#include "advertise/ServiceRegister_impl.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DoubleFixture.h"

namespace zelm_test {

// Opens the component's state to the tests and lets them shorten the
// keep-alive period.
class TestableRegister : public Zelm::MDNS::Apple::ServiceRegister_impl {
public:
    explicit TestableRegister(bool waitForRegistration) : ServiceRegister_impl(waitForRegistration) {}
    TestableRegister(bool waitForRegistration, int keepAlivePeriodMs)
        : ServiceRegister_impl(waitForRegistration, keepAlivePeriodMs) {}

    void* context() { return static_cast<ServiceRegister_impl*>(this); }
    std::string confirmedName() {
        std::lock_guard<std::mutex> lock(registrationMutex);
        return registeredName;
    }
    std::vector<unsigned char> txt() const { return {txtBuffer.begin(), txtBuffer.end()}; }
    const Zelm::MDNS::Apple::SmallStackThread* keepAlive() const { return keepAliveThread.get(); }
    int interval() const { return keepAliveIntervalMs; }
    DNSServiceErrorType lastStatus() const { return lastError; }
    void setLastStatus(DNSServiceErrorType code) { lastError = code; }
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
                                const std::vector<unsigned char>& txt = txtOf({"path=/"})) {
    return component.doServiceRegister("_http._tcp", 8080, static_cast<unsigned short>(txt.size()),
                                       txt.empty() ? nullptr : txt.data(), "Kitchen", "local", nullptr, 0, 0);
}

}  // namespace zelm_test

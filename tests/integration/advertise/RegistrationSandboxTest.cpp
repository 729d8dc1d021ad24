// Registration against the sandbox's avahi-daemon on host A, checked by the
// independent peer on host B.

#include "advertise/ServiceRegister_impl.h"

#include "SandboxProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace {

using namespace zelm_sandbox;

constexpr const char* kType = "_zelmadv._tcp";

// The component as the factory builds it, with its confirmed name readable.
class Registration : public Zelm::MDNS::Apple::ServiceRegister_impl {
public:
    Registration() : ServiceRegister_impl(true) {}

    std::string confirmedName() {
        std::lock_guard<std::mutex> lock(registrationMutex);
        return registeredName;
    }
    // Registers `name` with the TXT record of `entries`.
    Zelm::Error publish(const std::string& name, unsigned short port, const std::vector<std::string>& entries,
                        unsigned int flags = 0) {
        txt_.clear();
        for (const std::string& entry : entries) txt_ += static_cast<char>(entry.size()) + entry;
        return doServiceRegister(kType, port, static_cast<unsigned short>(txt_.size()), txt_.data(),
                                 name.c_str(), nullptr, nullptr, 0, flags);
    }
    const std::string& txt() const { return txt_; }

private:
    std::string txt_;
};

bool peerSees(const std::string& name, const std::vector<std::string>& extraArgs = {}) {
    return !peerWaitFor(kType, name, extraArgs).is_null();
}

TEST(RegistrationSandbox, ThePeerSeesNamePortAndTxtUntilEndLifeCycle) {
    const std::string name = uniqueName("Zelm Adv");
    Registration component;
    const Zelm::Error result = component.publish(name, 8080, {"path=/zelm", "v=1"});
    ASSERT_TRUE(result.ok()) << "code " << result.code();
    EXPECT_EQ(component.confirmedName(), name);
    EXPECT_TRUE(component.isInitialized());
    // The record went out padded with empty strings to 128 bytes; those are
    // not published, so the peer sees exactly the caller's strings.
    EXPECT_TRUE(peerSees(name, {"--port", "8080", "--txt-hex", toHex(component.txt())}));

    component.endLifeCycle();
    EXPECT_FALSE(component.isInitialized());
    EXPECT_TRUE(peerSees(name, {"--gone"}));
}

TEST(RegistrationSandbox, SameNameOnAnotherComponentIsRenamed) {
    const std::string name = uniqueName("Zelm Twice");
    Registration first;
    Registration second;
    ASSERT_TRUE(first.publish(name, 8082, {"n=1"}).ok());
    ASSERT_TRUE(second.publish(name, 8083, {"n=2"}).ok());
    EXPECT_EQ(first.confirmedName(), name);
    const std::string renamed = second.confirmedName();
    EXPECT_FALSE(renamed.empty());
    EXPECT_NE(renamed, name);
    EXPECT_TRUE(peerSees(renamed, {"--port", "8083"}));
    EXPECT_TRUE(peerSees(name, {"--port", "8082"}));
}

TEST(RegistrationSandbox, NameHeldByThePeerWithoutRenamingIsRefused) {
    const std::string name = uniqueName("Zelm Held");
    PeerPublisher peer(name, kType, 9000);
    ASSERT_TRUE(peer.published());

    Registration component;
    zelm_test::CoutCapture out;
    const Zelm::Error result = component.publish(name, 8084, {"x=1"}, kDNSServiceFlagsNoAutoRename);
    EXPECT_NE(out.text().find(" Error Registering service: -65548(" + name + "."), std::string::npos)
        << out.text();
    EXPECT_EQ(result.code(), static_cast<unsigned int>(kDNSServiceErr_NameConflict));
    EXPECT_FALSE(component.isInitialized());
    // Idle again: the component can register another name at once.
    const std::string other = uniqueName("Zelm Free");
    EXPECT_TRUE(component.publish(other, 8084, {"x=1"}, kDNSServiceFlagsNoAutoRename).ok());
    EXPECT_EQ(component.confirmedName(), other);
}

TEST(RegistrationSandbox, EndLifeCycleFromAnotherThreadWhileWaiting) {
    for (int round = 0; round < 5; ++round) {
        Registration component;
        Zelm::Error result;
        std::thread registrar([&] { result = component.publish(uniqueName("Zelm Race"), 8086, {"r=1"}); });
        std::this_thread::sleep_for(std::chrono::microseconds(round * 1000));
        component.endLifeCycle();
        registrar.join();
        // The tear-down either came first (and the wait then ran to its
        // confirmation) or interrupted the wait.
        EXPECT_TRUE(result.ok() || result.code() == static_cast<unsigned int>(kDNSServiceErr_BadReference))
            << "round " << round << ": code " << result.code();
        component.endLifeCycle();
        EXPECT_FALSE(component.isInitialized());
    }
}

TEST(RegistrationWithoutDaemon, FailsWithTheServiceNotRunningLineAndRecoversLater) {
    Registration component;
    {
        DaemonStopped daemon;
        ASSERT_TRUE(daemon.stopped);
        zelm_test::CoutCapture out;
        const Zelm::Error result = component.publish(uniqueName("Zelm NoDaemon"), 8087, {"d=0"});
        EXPECT_EQ(result.code(), static_cast<unsigned int>(kDNSServiceErr_ServiceNotRunning));
        EXPECT_EQ(result.category(), Zelm::Error::Service);
        EXPECT_EQ(
            out.text(),
            "ServiceRegister_impl: DNSServiceRegister err = mDNS error: -65563: MDNS background daemon not "
            "running.\n");
        EXPECT_FALSE(component.isInitialized());
    }
    const std::string name = uniqueName("Zelm Back");
    ASSERT_TRUE(component.publish(name, 8087, {"d=1"}).ok());
    EXPECT_TRUE(peerSees(name));
}

}  // namespace

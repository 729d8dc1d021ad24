// Registration against the sandbox's avahi-daemon on host A, checked by the
// independent peer on host B.

#include "PeerProcess.h"
#include "advertise/ServiceRegister_impl.h"

#include <TestSupport.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using advertise_sandbox::Clock;
using advertise_sandbox::peerWait;
using advertise_sandbox::sandboxCommand;
using advertise_sandbox::toHex;
using namespace std::chrono_literals;

namespace {

constexpr const char* kType = "_zelmadv._tcp";

// The component as the factory builds it, with its confirmed name readable.
class Registration : public Zelm::MDNS::Apple::ServiceRegister_impl {
public:
    Registration() : ServiceRegister_impl(true) {}

    std::string confirmedName() {
        std::lock_guard<std::mutex> lock(registrationMutex);
        return registeredName;
    }
    Zelm::Error publish(const std::string& name, unsigned short port, const std::vector<unsigned char>& txt,
                        unsigned int flags = 0) {
        return doServiceRegister(kType, port, static_cast<unsigned short>(txt.size()), txt.data(),
                                 name.c_str(), nullptr, nullptr, 0, flags);
    }
};

std::vector<unsigned char> txtOf(const std::vector<std::string>& entries) {
    std::vector<unsigned char> wire;
    for (const auto& entry : entries) {
        wire.push_back(static_cast<unsigned char>(entry.size()));
        wire.insert(wire.end(), entry.begin(), entry.end());
    }
    return wire;
}

std::string uniqueName(const std::string& tag) {
    static std::atomic<int> counter{0};
    return "zelm-adv-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + "-" + tag;
}

int peerSees(const std::string& name, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--type", kType, "--name", name, "--timeout", "15"};
    args.insert(args.end(), extra.begin(), extra.end());
    return peerWait(args, 30s);
}

int peerSeesGone(const std::string& name) {
    return peerWait({"--type", kType, "--name", name, "--gone", "--timeout", "15"}, 30s);
}

class RegistrationSandbox : public ::testing::Test {};

TEST_F(RegistrationSandbox, DaemonConfirmsAndThePeerSeesNamePortAndTxt) {
    const std::string name = uniqueName("seen");
    const auto txt = txtOf({"path=/zelm", "v=1"});
    Registration component;
    const Zelm::Error result = component.publish(name, 8080, txt);
    ASSERT_TRUE(result.ok()) << "code " << result.code();
    EXPECT_EQ(component.confirmedName(), name);
    EXPECT_TRUE(component.isInitialized());

    // The record went out padded with empty strings to 128 bytes; those are
    // not published, so the peer sees exactly the caller's strings.
    EXPECT_EQ(peerSees(name, {"--port", "8080", "--txt-hex", toHex(txt)}), 0);
    component.endLifeCycle();
}

TEST_F(RegistrationSandbox, EndLifeCycleWithdrawsTheService) {
    const std::string name = uniqueName("gone");
    Registration component;
    ASSERT_TRUE(component.publish(name, 8081, txtOf({"a=1"})).ok());
    ASSERT_EQ(peerSees(name), 0);

    component.endLifeCycle();
    EXPECT_FALSE(component.isInitialized());
    EXPECT_EQ(peerSeesGone(name), 0);
}

TEST_F(RegistrationSandbox, SameNameOnAnotherComponentIsRenamed) {
    const std::string name = uniqueName("twice");
    Registration first;
    Registration second;
    ASSERT_TRUE(first.publish(name, 8082, txtOf({"n=1"})).ok());
    ASSERT_TRUE(second.publish(name, 8083, txtOf({"n=2"})).ok());

    EXPECT_EQ(first.confirmedName(), name);
    const std::string renamed = second.confirmedName();
    EXPECT_FALSE(renamed.empty());
    EXPECT_NE(renamed, name);
    EXPECT_EQ(peerSees(renamed, {"--port", "8083"}), 0);
    EXPECT_EQ(peerSees(name, {"--port", "8082"}), 0);
}

TEST_F(RegistrationSandbox, NameHeldByThePeerWithoutRenamingIsRefused) {
    const std::string name = uniqueName("held");
    advertise_sandbox::ChildProcess peer(
        advertise_sandbox::peerCommand({"publish", "--name", name, "--type", kType, "--port", "9000"}));
    ASSERT_TRUE(peer.waitForLine("\"published\"", 20s));

    Registration component;
    Zelm::Error result;
    {
        zelm_test::CoutCapture out;
        result = component.publish(name, 8084, txtOf({"x=1"}), kDNSServiceFlagsNoAutoRename);
        EXPECT_NE(out.text().find(" Error Registering service: -65548(" + name + "."), std::string::npos)
            << out.text();
    }
    EXPECT_EQ(result.code(), static_cast<unsigned int>(kDNSServiceErr_NameConflict));
    EXPECT_FALSE(component.isInitialized());

    // Idle again: the component can register another name at once.
    const std::string other = uniqueName("free");
    EXPECT_TRUE(component.publish(other, 8084, txtOf({"x=1"}), kDNSServiceFlagsNoAutoRename).ok());
    EXPECT_EQ(component.confirmedName(), other);
}

TEST_F(RegistrationSandbox, EndLifeCycleFromAnotherThreadWhileWaiting) {
    for (int round = 0; round < 20; ++round) {
        Registration component;
        Zelm::Error result;
        std::thread registrar([&] { result = component.publish(uniqueName("race"), 8086, txtOf({"r=1"})); });
        std::this_thread::sleep_for(std::chrono::microseconds(round * 250));
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

// Restarts the daemon when it goes out of scope, whatever the test did.
struct DaemonStopped {
    bool stopped = sandboxCommand({"daemon", "stop"}, 60s) == 0;
    ~DaemonStopped() {
        if (stopped) sandboxCommand({"daemon", "start"}, 60s);
    }
};

TEST(RegistrationWithoutDaemon, FailsWithTheServiceNotRunningLineAndRecoversLater) {
    Registration component;
    {
        DaemonStopped daemon;
        ASSERT_TRUE(daemon.stopped);
        zelm_test::CoutCapture out;
        const Zelm::Error result = component.publish(uniqueName("nodaemon"), 8087, txtOf({"d=0"}));
        EXPECT_EQ(result.code(), static_cast<unsigned int>(kDNSServiceErr_ServiceNotRunning));
        EXPECT_EQ(result.category(), Zelm::Error::Service);
        EXPECT_EQ(
            out.text(),
            "ServiceRegister_impl: DNSServiceRegister err = mDNS error: -65563: MDNS background daemon not "
            "running.\n");
        EXPECT_FALSE(component.isInitialized());
    }

    const std::string name = uniqueName("back");
    ASSERT_TRUE(component.publish(name, 8087, txtOf({"d=1"})).ok());
    EXPECT_EQ(peerSees(name), 0);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Outside the sandbox these tests would reach the machine's own bus.
    if (advertise_sandbox::sandboxVar("ZELM_SANDBOX_DIR").empty() ||
        advertise_sandbox::sandboxVar("ZELM_SANDBOX_REPO").empty()) {
        std::fprintf(stderr, "not inside the sandbox (scripts/sandbox exec A ...): skipped\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}

// The daemon stops under open references and comes back. Runs as a suite of
// its own: it restarts the sandbox's avahi-daemon.

#include "SandboxSupport.h"

#include <arpa/inet.h>

#include <future>

namespace backend_test {
namespace {

bool daemonCommand(const std::string& what) {
    ChildProcess command({sandboxVar("ZELM_SANDBOX_REPO") + "/scripts/sandbox", "daemon", what});
    return command.waitExit(30s) == 0;
}

class DaemonFailure : public SandboxTest {
protected:
    void TearDown() override {
        if (stopped_) daemonCommand("start");
    }
    void stopDaemon() { stopped_ = daemonCommand("stop"); }
    bool stopped_ = false;
};

template <typename Start>
void expectFastNotRunning(const char* what, Start start) {
    DNSServiceRef ref = nullptr;
    const auto begin = Clock::now();
    EXPECT_EQ(start(&ref), kDNSServiceErr_ServiceNotRunning) << what;
    EXPECT_LT(Clock::now() - begin, 1s) << what;
    EXPECT_EQ(ref, nullptr) << what;
}

TEST_F(DaemonFailure, StopWakesBlockedProcessResultAndRestartServesNewRequests) {
    BrowseLog log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceBrowse(&guard.ref, 0, 0, "_zelmquiet._tcp", nullptr, &BrowseLog::reply, &log),
              kDNSServiceErr_NoError);
    auto blocked = std::async(std::launch::async, [&] { return DNSServiceProcessResult(guard.ref); });
    stopDaemon();
    ASSERT_TRUE(stopped_);
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), kDNSServiceErr_ServiceNotRunning);
    EXPECT_TRUE(log.events.empty());

    expectFastNotRunning("browse", [](DNSServiceRef* ref) {
        return DNSServiceBrowse(ref, 0, 0, kType, nullptr, &BrowseLog::reply, nullptr);
    });
    expectFastNotRunning("resolve", [](DNSServiceRef* ref) {
        return DNSServiceResolve(ref, 0, 0, "x", kType, nullptr, &ResolveLog::reply, nullptr);
    });
    expectFastNotRunning("address", [](DNSServiceRef* ref) {
        return DNSServiceGetAddrInfo(ref, 0, 0, 0, "x.local.", &AddressLog::reply, nullptr);
    });
    expectFastNotRunning("register", [](DNSServiceRef* ref) {
        return DNSServiceRegister(ref, 0, 0, "x", kType, nullptr, nullptr, htons(1), 0, nullptr,
                                  &RegisterLog::reply, nullptr);
    });

    ASSERT_TRUE(daemonCommand("start"));
    stopped_ = false;
    // The old reference stays failed; a new request reaches the new daemon.
    EXPECT_EQ(DNSServiceProcessResult(guard.ref), kDNSServiceErr_ServiceNotRunning);
    RefGuard fresh;
    RegisterLog registered;
    ASSERT_EQ(registerAndWait(fresh, registered, uniqueName("Zelm Back").c_str(), 9300, ""),
              kDNSServiceErr_NoError);
    EXPECT_EQ(registered.events[0].error, kDNSServiceErr_NoError);
}

}  // namespace
}  // namespace backend_test

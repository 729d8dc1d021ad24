// The daemon stops under open references and comes back. Runs as a CTest
// test of its own: it restarts the sandbox's avahi-daemon.

#include "BackendReplyLogs.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <future>

namespace backend_test {
namespace {

TEST(DaemonFailure, StopWakesBlockedProcessResultAndRestartServesNewRequests) {
    BrowseLog log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceBrowse(&guard.ref, 0, 0, "_zelmquiet._tcp", nullptr, &BrowseLog::reply, &log),
              kDNSServiceErr_NoError);
    auto blocked = std::async(std::launch::async, [&] { return DNSServiceProcessResult(guard.ref); });
    {
        DaemonStopped daemon;
        ASSERT_TRUE(daemon.stopped);
        ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(blocked.get(), kDNSServiceErr_ServiceNotRunning);
        EXPECT_TRUE(log.events.empty());

        // Every kind of request fails at once, leaving no reference behind.
        for (int kind = 0; kind < 4; ++kind) {
            DNSServiceRef ref = nullptr;
            const auto begin = Clock::now();
            const DNSServiceErrorType error =
                kind == 0   ? DNSServiceBrowse(&ref, 0, 0, kType, nullptr, &BrowseLog::reply, nullptr)
                : kind == 1 ? DNSServiceResolve(&ref, 0, 0, "x", kType, nullptr, &ResolveLog::reply, nullptr)
                : kind == 2 ? DNSServiceGetAddrInfo(&ref, 0, 0, 0, "x.local.", &AddressLog::reply, nullptr)
                            : DNSServiceRegister(&ref, 0, 0, "x", kType, nullptr, nullptr, htons(1), 0,
                                                 nullptr, &RegisterLog::reply, nullptr);
            EXPECT_EQ(error, kDNSServiceErr_ServiceNotRunning) << "request kind " << kind;
            EXPECT_LT(Clock::now() - begin, 1s) << "request kind " << kind;
            EXPECT_EQ(ref, nullptr) << "request kind " << kind;
        }
    }
    // The old reference stays failed; a new request reaches the new daemon.
    EXPECT_EQ(DNSServiceProcessResult(guard.ref), kDNSServiceErr_ServiceNotRunning);
    RefGuard fresh;
    RegisterLog registered;
    ASSERT_EQ(registerAndWait(fresh, registered, uniqueName("Zelm Back").c_str(), 9300),
              kDNSServiceErr_NoError);
    EXPECT_EQ(registered.events[0].error, kDNSServiceErr_NoError);
}

}  // namespace
}  // namespace backend_test

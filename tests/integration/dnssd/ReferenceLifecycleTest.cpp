// References against the real daemon: waking, deallocating at awkward
// moments, many at once, and no backend thread while none is open.

#include "BackendReplyLogs.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <future>

namespace backend_test {
namespace {

// A browse that finds nothing: its DNSServiceProcessResult blocks.
DNSServiceErrorType quietBrowse(RefGuard& guard, BrowseLog& log) {
    return DNSServiceBrowse(&guard.ref, 0, 0, "_zelmquiet._tcp", nullptr, &BrowseLog::reply, &log);
}

// Another thread shuts the reference's socket down, or deallocates the
// reference, while this one blocks in DNSServiceProcessResult.
TEST(References, AnotherThreadWakesBlockedProcessResult) {
    for (const bool deallocate : {false, true}) {
        SCOPED_TRACE(deallocate ? "deallocate" : "shutdown");
        RefGuard guard;
        BrowseLog log;
        ASSERT_EQ(quietBrowse(guard, log), kDNSServiceErr_NoError);
        const DNSServiceRef ref = guard.ref;
        auto blocked = std::async(std::launch::async, [ref] { return DNSServiceProcessResult(ref); });
        ASSERT_EQ(blocked.wait_for(300ms), std::future_status::timeout);
        if (deallocate) {
            DNSServiceRefDeallocate(ref);
            guard.ref = nullptr;
        } else {
            ::shutdown(DNSServiceRefSockFD(ref), SHUT_RDWR);
        }
        ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
        const DNSServiceErrorType woken = blocked.get();
        EXPECT_TRUE(log.events.empty());
        if (deallocate) {
            EXPECT_NE(woken, kDNSServiceErr_NoError);
        } else {
            EXPECT_EQ(woken, kDNSServiceErr_ServiceNotRunning);
            // And stays so, without blocking.
            EXPECT_EQ(DNSServiceProcessResult(ref), kDNSServiceErr_ServiceNotRunning);
        }
    }
}

TEST(References, DeallocationInsideTheReplyFunction) {
    RegisterLog log;
    log.deallocateInReply = true;
    DNSServiceRef ref = nullptr;
    ASSERT_EQ(DNSServiceRegister(&ref, 0, 0, uniqueName("Zelm Self").c_str(), kType, nullptr, nullptr,
                                 htons(9200), 0, nullptr, &RegisterLog::reply, &log),
              kDNSServiceErr_NoError);
    EXPECT_EQ(processWithin(ref, 15s), kDNSServiceErr_NoError);
    ASSERT_EQ(log.events.size(), 1u);
    // The reference is gone; a stale handle is refused, not used.
    EXPECT_EQ(DNSServiceProcessResult(ref), kDNSServiceErr_BadReference);
}

TEST(References, ThousandsOfObjectsSpreadOverConnections) {
    // Two descriptors per reference: make room for them.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 8192));
    setrlimit(RLIMIT_NOFILE, &limit);

    // 1100 browses: more than the daemon allows one connection (1024 objects).
    constexpr int kCount = 1100;
    std::vector<BrowseLog> logs(kCount);
    std::vector<RefGuard> refs(kCount);
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(DNSServiceBrowse(&refs[i].ref, 0, 0, kType, nullptr, &BrowseLog::reply, &logs[i]),
                  kDNSServiceErr_NoError)
            << "reference " << i;
    }
    const std::string name = uniqueName("Zelm Many");
    RefGuard registration;
    RegisterLog registered;
    ASSERT_EQ(registerAndWait(registration, registered, name.c_str(), 9201), kDNSServiceErr_NoError);
    for (const int i : {0, kCount / 2, kCount - 1}) {
        EXPECT_TRUE(pumpUntil(refs[i].ref, 10s, [&] { return !logs[i].of(name, true).empty(); }))
            << "reference " << i;
    }
}

TEST(References, NoBackendThreadWhileNoReferenceIsOpen) {
    const int idle = threadCount();
    {
        RefGuard guard;
        BrowseLog log;
        ASSERT_EQ(quietBrowse(guard, log), kDNSServiceErr_NoError);
        EXPECT_EQ(settledThreadCount(idle + 1), idle + 1);
    }
    EXPECT_EQ(settledThreadCount(idle), idle);
}

}  // namespace
}  // namespace backend_test

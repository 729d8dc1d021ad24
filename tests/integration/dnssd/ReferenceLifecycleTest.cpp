// References against the real daemon: many at once, spread over connections,
// and no backend thread while none is open. (A shutdown waking a blocked
// DNSServiceProcessResult and a reply function deallocating its own reference
// are what every browse and resolve of the end-to-end tests does.)

#include "BackendReplyLogs.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace Zelm::Test {
namespace {

TEST(References, ThousandsOfObjectsSpreadOverConnections) {
    // Two descriptors per reference: make room for them.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 8192));
    setrlimit(RLIMIT_NOFILE, &limit);

    // 1100 browses: more than the daemon allows one connection (1024 objects).
    constexpr int kCount = 1100;
    std::vector<Log> logs(kCount);
    std::vector<RefGuard> refs(kCount);
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(DNSServiceBrowse(&refs[i].ref, 0, 0, kType, nullptr, &Log::reply, &logs[i]),
                  kDNSServiceErr_NoError)
            << "reference " << i;
    }
    const std::string name = uniqueName("Zelm Many");
    RefGuard registration;
    Log registered;
    ASSERT_EQ(registerAndWait(registration, registered, name.c_str(), 9201), kDNSServiceErr_NoError);
    for (const int i : {0, kCount / 2, kCount - 1}) {
        EXPECT_TRUE(pumpUntil(refs[i].ref, 10s, [&] { return !logs[i].of(name, true).empty(); }))
            << "reference " << i;
    }
}

TEST(References, NoBackendThreadOnceTheLastReferenceIsGone) {
    // An earlier test's link may still linger; it ends within its grace period.
    const int idle = settledThreadCount(threadCount() - 1);
    {
        RefGuard guard;
        Log log;
        ASSERT_EQ(DNSServiceBrowse(&guard.ref, 0, 0, "_zelmquiet._tcp", nullptr, &Log::reply, &log),
                  kDNSServiceErr_NoError);
        EXPECT_EQ(settledThreadCount(idle + 1), idle + 1);
    }
    EXPECT_EQ(settledThreadCount(idle), idle);
}

}  // namespace
}  // namespace Zelm::Test

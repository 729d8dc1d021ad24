// References against the real daemon: waking, deallocating at awkward
// moments, many at once, and no backend thread while none is open.

#include "SandboxSupport.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <future>
#include <thread>

namespace backend_test {
namespace {

class References : public SandboxTest {};

// A browse that finds nothing: its DNSServiceProcessResult blocks.
DNSServiceErrorType quietBrowse(RefGuard& guard, BrowseLog& log) {
    return DNSServiceBrowse(&guard.ref, 0, 0, "_zelmquiet._tcp", nullptr, &BrowseLog::reply, &log);
}

TEST_F(References, ShutdownFromAnotherThreadWakesBlockedProcessResult) {
    RefGuard guard;
    BrowseLog log;
    ASSERT_EQ(quietBrowse(guard, log), kDNSServiceErr_NoError);
    auto blocked = std::async(std::launch::async, [&] { return DNSServiceProcessResult(guard.ref); });
    ASSERT_EQ(blocked.wait_for(300ms), std::future_status::timeout);
    ::shutdown(DNSServiceRefSockFD(guard.ref), SHUT_RDWR);
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), kDNSServiceErr_ServiceNotRunning);
    EXPECT_TRUE(log.events.empty());
    // And stays so, without blocking.
    EXPECT_EQ(DNSServiceProcessResult(guard.ref), kDNSServiceErr_ServiceNotRunning);
}

TEST_F(References, DeallocationWhileAnotherThreadBlocksWakesIt) {
    BrowseLog log;
    RefGuard guard;
    ASSERT_EQ(quietBrowse(guard, log), kDNSServiceErr_NoError);
    DNSServiceRef ref = guard.ref;
    guard.ref = nullptr;
    auto blocked = std::async(std::launch::async, [ref] { return DNSServiceProcessResult(ref); });
    ASSERT_EQ(blocked.wait_for(300ms), std::future_status::timeout);
    DNSServiceRefDeallocate(ref);
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    EXPECT_NE(blocked.get(), kDNSServiceErr_NoError);
}

TEST_F(References, DeallocationInsideTheReplyFunction) {
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

TEST_F(References, MoreComingMarksRepliesAlreadyQueued) {
    // This host's own name answers at once with its IPv4 and IPv6 address.
    const std::string host = sandboxVar("ZELM_SANDBOX_HOSTNAME_A") + ".local.";
    AddressLog log;
    RefGuard guard;
    ASSERT_EQ(DNSServiceGetAddrInfo(&guard.ref, 0, 0, 0, host.c_str(), &AddressLog::reply, &log),
              kDNSServiceErr_NoError);
    pollfd readable{DNSServiceRefSockFD(guard.ref), POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 5000), 1);
    std::this_thread::sleep_for(1s);  // lets the second address queue up behind the first
    ASSERT_EQ(DNSServiceProcessResult(guard.ref), kDNSServiceErr_NoError);
    ASSERT_EQ(DNSServiceProcessResult(guard.ref), kDNSServiceErr_NoError);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_NE(log.events[0].flags & kDNSServiceFlagsMoreComing, 0u);
    EXPECT_EQ(log.events[1].flags & kDNSServiceFlagsMoreComing, 0u);
    EXPECT_NE(log.events[0].family, log.events[1].family);
}

TEST_F(References, ThousandsOfObjectsSpreadOverConnections) {
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
    ASSERT_EQ(registerAndWait(registration, registered, name.c_str(), 9201, ""), kDNSServiceErr_NoError);
    for (const int i : {0, kCount / 2, kCount - 1}) {
        EXPECT_TRUE(pumpUntil(refs[i].ref, 10s, [&] { return !logs[i].of(name, true).empty(); }))
            << "reference " << i;
    }
}

TEST_F(References, NoBackendThreadWhileNoReferenceIsOpen) {
    const int idle = zelm_test::threadCount();
    {
        RefGuard guard;
        BrowseLog log;
        ASSERT_EQ(quietBrowse(guard, log), kDNSServiceErr_NoError);
        EXPECT_EQ(zelm_test::threadCount(), idle + 1);
    }
    EXPECT_EQ(zelm_test::threadCount(), idle);
}

}  // namespace
}  // namespace backend_test

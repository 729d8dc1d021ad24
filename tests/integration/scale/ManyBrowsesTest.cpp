// 1100 browses at once in one process against the sandbox's daemon, more than
// the daemon allows one connection (1024 objects), each on a caller thread of
// its own with a small stack, as a 32-bit host runs them: every one must find
// the peer's service, and once all have ended no backend thread is left.

#include "Browse_impl.h"

#include "Sandbox.h"
#include "TestSupport.h"

#include <pthread.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using namespace Zelm::Test;

constexpr int kBrowses = 1100;
constexpr std::size_t kCallerStack = 128 * 1024;
// Long enough for all to be open at once, even when qemu starts them slowly.
constexpr unsigned kBrowseMs = 90000;
const std::string kName = uniqueName("Zelm Scale");
std::vector<char> found(kBrowses);

void* browseOnce(void* index) {
    try {
        Zelm::MDNS::Apple::Browse_impl browse;
        bool seen = false;
        const auto result =
            browse.browseService(kBrowseMs, "_zelmscale._tcp", "local.", 0, 0,
                                 [&](auto& info) { seen = seen || info.serviceName == kName; });
        found[reinterpret_cast<std::intptr_t>(index)] = result.code() == 0 && seen;
    } catch (const std::exception&) {  // no thread or memory for it: counted as failed
    }
    return nullptr;
}

TEST(ManyBrowses, AllOpenAtOnceOnSmallCallerStacksAllFindThePeerAndLeaveNoThread) {
    rlimit files{};  // the browses' descriptors outnumber a default limit of 1024
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 8192));
    ::setrlimit(RLIMIT_NOFILE, &files);
    const PeerPublisher peer(kName, "_zelmscale._tcp", 7301);
    ASSERT_TRUE(peer.published());
    const int idle = threadCount();
    std::vector<pthread_t> threads;
    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setstacksize(&attr, kCallerStack);
    for (std::intptr_t i = 0; i < kBrowses; ++i)
        if (pthread_t thread; ::pthread_create(&thread, &attr, browseOnce, reinterpret_cast<void*>(i)) == 0)
            threads.push_back(thread);
    for (pthread_t thread : threads) ::pthread_join(thread, nullptr);
    EXPECT_EQ(std::count(found.begin(), found.end(), 0), 0) << "browses that failed";
    EXPECT_EQ(settledThreadCount(idle), idle);
}

}  // namespace

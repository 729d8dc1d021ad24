// 1024 browses at once in one process against the sandbox's daemon, each on a
// caller thread of its own with a small stack, as a 32-bit host runs them:
// every one must find the peer's service. Prints how many failed and the
// virtual size and resident memory that each open browse costs.

#include "Browse_impl.h"

#include "Sandbox.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Zelm::Test;

constexpr int kBrowses = 1024;
constexpr std::size_t kCallerStack = 128 * 1024;
constexpr unsigned kBrowseMs = 90000;  // long enough for all to be open at once under qemu
const std::string kName = uniqueName("Zelm Scale");
std::atomic<int> openBrowses{0};
std::vector<char> found(kBrowses);

// Virtual and resident KiB over the mappings of /proc/self/maps, which qemu-user
// shows as the emulated process sees them; residency from mincore.
std::pair<double, double> memoryKiB() {
    double virt = 0, resident = 0;
    std::ifstream maps("/proc/self/maps");
    unsigned long begin, end;
    char dash;
    std::string perms, rest;
    while (maps >> std::hex >> begin >> dash >> end >> perms && std::getline(maps, rest)) {
        virt += (end - begin) / 1024.0;
        std::vector<unsigned char> pages((end - begin) / ::getpagesize());
        if (perms[0] == 'r' && ::mincore(reinterpret_cast<void*>(begin), end - begin, pages.data()) == 0)
            for (unsigned char page : pages) resident += (page & 1) * ::getpagesize() / 1024.0;
    }
    return {virt, resident};
}

void* browseOnce(void* index) {
    try {
        Zelm::MDNS::Apple::Browse_impl browse;
        bool seen = false;
        const auto result =
            browse.browseService(kBrowseMs, "_zelmscale._tcp", "local.", 0, 0, [&](auto& info) {
                if (info.serviceName == kName && !seen) seen = true, ++openBrowses;
            });
        found[reinterpret_cast<std::intptr_t>(index)] = result.code() == 0 && seen;
    } catch (const std::exception&) {  // no thread or memory for it: counted as failed
    }
    return nullptr;
}

TEST(ManyBrowses, AllOpenAtOnceOnSmallCallerStacksAndAllFindThePeer) {
    const PeerPublisher peer(kName, "_zelmscale._tcp", 7301);
    ASSERT_TRUE(peer.published());
    std::vector<pthread_t> threads;
    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setstacksize(&attr, kCallerStack);
    const auto before = memoryKiB();
    for (std::intptr_t i = 0; i < kBrowses; ++i)
        if (pthread_t thread; ::pthread_create(&thread, &attr, browseOnce, reinterpret_cast<void*>(i)) == 0)
            threads.push_back(thread);
    // Measured once all are open, or once no more have opened for 10 s.
    for (auto [seen, since] = std::pair(-1, Clock::now());
         openBrowses < kBrowses && Clock::now() - since < 10s; std::this_thread::sleep_for(50ms))
        if (openBrowses != seen) seen = openBrowses, since = Clock::now();
    const auto during = memoryKiB();
    const int together = std::max(openBrowses.load(), 1);
    for (pthread_t thread : threads) ::pthread_join(thread, nullptr);
    const auto failed = std::count(found.begin(), found.end(), 0);
    std::printf(
        "%d browses: %td failed, %d open at once; per open browse with its caller's %zu KiB stack: "
        "virtual %.0f KiB, resident %.0f KiB\n",
        kBrowses, failed, together, kCallerStack / 1024, (during.first - before.first) / together,
        (during.second - before.second) / together);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(together, kBrowses);
}

}  // namespace

// A reference's socket and reply queue, driven without a daemon: replies are
// posted as the event thread would post them.

#include "Reference.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace Zelm::DnsSd {
namespace {

struct NoOperation : Operation {
    int start(const DaemonContext&) override { return 0; }
    void stop() override {}
};

TEST(ReferenceQueue, DeliversInOrderMarkingMoreComingAndALostConnectionDeliversTheQueuedThenFails) {
    auto* reference = new _DNSServiceRef_t(std::make_unique<NoOperation>());
    ASSERT_TRUE(reference->openSockets());
    const auto readable = [reference] {
        pollfd watched{reference->callerSocket(), POLLIN, 0};
        return ::poll(&watched, 1, 0) == 1;
    };
    std::vector<std::pair<int, DNSServiceFlags>> delivered;
    const auto post = [&](int id) {
        reference->post([&delivered, reference, id](DNSServiceRef ref, DNSServiceFlags more) {
            EXPECT_EQ(ref, reference);
            delivered.push_back({id, more});
        });
    };
    EXPECT_FALSE(readable());
    post(1), post(2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(readable());
        EXPECT_EQ(reference->processOne(reference), kDNSServiceErr_NoError);
    }
    EXPECT_FALSE(readable());
    EXPECT_EQ(delivered, (decltype(delivered){{1, kDNSServiceFlagsMoreComing}, {2, 0}}));
    // A lost connection still delivers what was queued, then fails.
    post(3);
    reference->failConnection();
    post(4);                  // too late
    EXPECT_TRUE(readable());  // a caller's select loop hears of it too
    EXPECT_EQ(reference->processOne(reference), kDNSServiceErr_NoError);
    EXPECT_EQ(reference->processOne(reference), kDNSServiceErr_ServiceNotRunning);
    EXPECT_EQ(delivered.size(), 3u);
    reference->release();
}

}  // namespace
}  // namespace Zelm::DnsSd

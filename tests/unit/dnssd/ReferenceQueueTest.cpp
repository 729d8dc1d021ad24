// A reference's socket and reply queue, driven without a daemon: replies are
// posted as the event thread would post them.

#include "Reference.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

namespace Zelm::DnsSd {
namespace {

class NoOperation : public Operation {
public:
    int start(const DaemonContext&) override { return 0; }
    void stop() override {}
};

class ReferenceQueue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(reference_->openSockets()); }
    void TearDown() override {
        if (reference_ != nullptr) reference_->release();
    }

    Delivery record(int id) {
        return [this, id](DNSServiceRef ref, DNSServiceFlags more) { delivered_.push_back({ref, id, more}); };
    }
    bool readable() {
        pollfd watched{reference_->callerSocket(), POLLIN, 0};
        return ::poll(&watched, 1, 0) == 1;
    }

    struct Delivered {
        DNSServiceRef ref;
        int id;
        DNSServiceFlags more;
    };
    _DNSServiceRef_t* reference_ = new _DNSServiceRef_t(std::make_unique<NoOperation>());
    std::vector<Delivered> delivered_;
};

TEST_F(ReferenceQueue, DeliversInOrderMarkingQueuedOnesMoreComing) {
    EXPECT_FALSE(readable());
    reference_->post(record(1));
    reference_->post(record(2));
    EXPECT_TRUE(readable());
    ASSERT_EQ(reference_->processOne(reference_), kDNSServiceErr_NoError);
    EXPECT_TRUE(readable());
    ASSERT_EQ(reference_->processOne(reference_), kDNSServiceErr_NoError);
    EXPECT_FALSE(readable());
    ASSERT_EQ(delivered_.size(), 2u);
    EXPECT_EQ(delivered_[0].id, 1);
    EXPECT_EQ(delivered_[0].more, static_cast<DNSServiceFlags>(kDNSServiceFlagsMoreComing));
    EXPECT_EQ(delivered_[1].id, 2);
    EXPECT_EQ(delivered_[1].more, 0u);
    EXPECT_EQ(delivered_[1].ref, reference_);
}

TEST_F(ReferenceQueue, LostConnectionDeliversQueuedRepliesThenFails) {
    reference_->post(record(1));
    reference_->failConnection();
    reference_->post(record(2));  // too late
    EXPECT_TRUE(readable());      // a caller's select loop hears of it too
    EXPECT_EQ(reference_->processOne(reference_), kDNSServiceErr_NoError);
    EXPECT_EQ(reference_->processOne(reference_), kDNSServiceErr_ServiceNotRunning);
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0].id, 1);
}

}  // namespace
}  // namespace Zelm::DnsSd

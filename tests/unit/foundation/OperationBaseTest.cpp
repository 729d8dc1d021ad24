#include "engine/MDNSBase_impl.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "DoubleFixture.h"

namespace {

using dnssd_double::browseReply;
using dnssd_double::Script;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A minimal operation on the base: starts a browse request, counts replies,
// and (when `completes`) ends the operation on a reply without MoreComing, as
// resolution and address lookup do.
class ProbeOperation : public Zelm::MDNS::Apple::MDNSBase_impl {
public:
    explicit ProbeOperation(bool completes) : completes_(completes) {}

    DNSServiceErrorType start() {
        lastError = DNSServiceBrowse(&sdRef, 0, 0, "_probe._tcp", "", &ProbeOperation::reply, this);
        return lastError;
    }
    bool run(unsigned int timeoutMs) { return performService(timeoutMs); }
    bool open() const { return isOperationOpen(); }
    DNSServiceErrorType last() const { return lastError; }
    void signalEarly() { semaphore.signal(); }
    int replies() const { return replies_; }

private:
    static void reply(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType, const char*,
                      const char*, const char*, void* context) {
        auto* self = static_cast<ProbeOperation*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        ++self->replies_;
        if (self->completes_ && !(flags & kDNSServiceFlagsMoreComing)) {
            self->cleanup();
            self->semaphore.signal();
        }
    }

    bool completes_;
    std::atomic<int> replies_{0};
};

using OperationBase = zelm_test::DoubleFixture;

DNSServiceRef currentRef() { return Script::calls("DNSServiceBrowse").back().ref; }

size_t deallocations() { return Script::calls("DNSServiceRefDeallocate").size(); }

TEST_F(OperationBase, TimeOutTearsDownWakesTheServiceThreadAndWritesItsFailure) {
    ProbeOperation op(true);
    op.signalEarly();  // a signal left from before must not end the new operation
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    zelm_test::CoutCapture capture;
    const auto begin = Clock::now();
    EXPECT_FALSE(op.run(80));
    EXPECT_GE(Clock::now() - begin, milliseconds(80));
    EXPECT_FALSE(op.open());
    EXPECT_FALSE(op.isInitialized());
    EXPECT_EQ(op.last(), kDNSServiceErr_ServiceNotRunning);
    EXPECT_EQ(capture.text(), "mDNS error: -65563: MDNS background daemon not running.\n");
    EXPECT_EQ(deallocations(), 1u);
}

TEST_F(OperationBase, CompletingReplyEndsTheWaitEarlyAndLeavesItInitialized) {
    Script::onStart("DNSServiceBrowse",
                    {browseReply("a", "_probe._tcp.", "local.", kDNSServiceFlagsMoreComing),
                     browseReply("b", "_probe._tcp.", "local.", 0)});
    ProbeOperation op(true);
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    zelm_test::CoutCapture capture;
    EXPECT_TRUE(op.run(60000));
    EXPECT_EQ(op.replies(), 2);
    EXPECT_TRUE(op.isInitialized());
    EXPECT_FALSE(op.open());
    EXPECT_EQ(op.last(), kDNSServiceErr_NoError);
    EXPECT_EQ(capture.text(), "");
}

TEST_F(OperationBase, FailingProcessResultWritesTheLineAndEndsTheLoop) {
    Script::onStart("DNSServiceBrowse", {dnssd_double::processFailure(kDNSServiceErr_NoSuchRecord)});
    ProbeOperation op(false);
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    zelm_test::CoutCapture capture;
    EXPECT_FALSE(op.run(50));
    EXPECT_EQ(capture.text(), "mDNS error: -65554: MDNS no such record.\n");
    EXPECT_EQ(op.last(), kDNSServiceErr_NoSuchRecord);
    EXPECT_EQ(deallocations(), 1u);
}

TEST_F(OperationBase, ZeroTimeOutRunsTheLoopOnTheCallingThreadUntilTheOperationEnds) {
    std::thread::id replyThread;
    auto reply = browseReply("a", "_probe._tcp.", "local.", 0);
    reply.beforeDelivery = [&] { replyThread = std::this_thread::get_id(); };
    Script::onStart("DNSServiceBrowse", {reply});
    ProbeOperation completing(true);
    ASSERT_EQ(completing.start(), kDNSServiceErr_NoError);
    EXPECT_TRUE(completing.run(0));
    EXPECT_EQ(replyThread, std::this_thread::get_id());
    EXPECT_FALSE(completing.open());

    // Without a completing reply, only an end of the life cycle stops it.
    ProbeOperation endless(false);
    ASSERT_EQ(endless.start(), kDNSServiceErr_NoError);
    zelm_test::CoutCapture capture;
    std::thread ender([&] {
        std::this_thread::sleep_for(milliseconds(30));
        endless.endLifeCycle();
    });
    EXPECT_TRUE(endless.run(0));
    ender.join();
    EXPECT_FALSE(endless.open());
    EXPECT_EQ(deallocations(), 2u);
}

TEST_F(OperationBase, EndLifeCycleAndDestructionReleaseOnlyAnOpenRequest) {
    {
        ProbeOperation idle(true);
        idle.startLifeCycle();
        idle.endLifeCycle();
        EXPECT_FALSE(idle.isInitialized());
    }
    EXPECT_TRUE(Script::calls().empty());

    ProbeOperation ended(true);
    ASSERT_EQ(ended.start(), kDNSServiceErr_NoError);
    ended.endLifeCycle();
    EXPECT_FALSE(ended.open());
    EXPECT_EQ(deallocations(), 1u);
    {
        ProbeOperation destroyed(true);
        ASSERT_EQ(destroyed.start(), kDNSServiceErr_NoError);
    }
    EXPECT_EQ(deallocations(), 2u);
}

// The tear-down, after a time-out or from another thread, races with replies
// on the service thread; the reference must never be deallocated while that
// thread is inside DNSServiceProcessResult (the double counts that).
TEST_F(OperationBase, TearDownRacingWithRepliesNeverDeallocatesUnderAPass) {
    zelm_test::CoutCapture capture;
    for (int round = 0; round < 80; ++round) {
        ProbeOperation op(false);
        ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
        const DNSServiceRef ref = currentRef();
        std::thread other([&op, ref, round] {
            if (round % 2) {
                std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 7)));
                op.endLifeCycle();
            }
            for (int i = 0; i < 200 && Script::queueReply(ref, browseReply("x", "_p._tcp.", "local.")); ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        op.run(round % 2 ? 20 : 1 + round % 5);
        other.join();
        EXPECT_FALSE(op.open());
    }
}

}  // namespace

#include "engine/MDNSBase_impl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

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

class OperationBase : public ::testing::Test {
protected:
    void SetUp() override {
        Script::reset();
        // ThreadSanitizer starts a helper thread with the first thread a
        // process makes; make that happen before counting.
        std::thread([] {}).join();
        threadsBefore_ = zelm_test::threadCount();
    }
    void TearDown() override {
        EXPECT_EQ(Script::liveReferences(), 0u);
        EXPECT_EQ(Script::violations(), 0u);
        EXPECT_EQ(zelm_test::threadCount(), threadsBefore_);
    }
    static DNSServiceRef currentRef() { return Script::calls("DNSServiceBrowse").back().ref; }

private:
    int threadsBefore_ = 0;
};

TEST_F(OperationBase, TimeOutTearsDownWakesTheServiceThreadAndWritesItsFailure) {
    ProbeOperation op(true);
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    zelm_test::CoutCapture capture;
    const auto begin = Clock::now();
    EXPECT_FALSE(op.run(80));
    EXPECT_GE(Clock::now() - begin, milliseconds(80));
    EXPECT_FALSE(op.open());
    EXPECT_FALSE(op.isInitialized());
    EXPECT_EQ(op.last(), kDNSServiceErr_ServiceNotRunning);
    EXPECT_EQ(capture.text(), "mDNS error: -65563: MDNS background daemon not running.\n");
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

TEST_F(OperationBase, CompletingReplyEndsTheWaitEarlyAndLeavesItInitialized) {
    Script::onStart("DNSServiceBrowse",
                    {dnssd_double::browseReply("a", "_probe._tcp.", "local.", kDNSServiceFlagsMoreComing),
                     dnssd_double::browseReply("b", "_probe._tcp.", "local.", 0)});
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

TEST_F(OperationBase, SignalLeftFromEarlierDoesNotCompleteANewOperation) {
    ProbeOperation op(true);
    op.signalEarly();
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    zelm_test::CoutCapture capture;
    EXPECT_FALSE(op.run(30));
}

TEST_F(OperationBase, FailingProcessResultWritesTheLineAndEndsTheLoop) {
    Script::onStart("DNSServiceBrowse", {dnssd_double::processFailure(kDNSServiceErr_NoSuchRecord)});
    ProbeOperation op(false);
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    zelm_test::CoutCapture capture;
    EXPECT_FALSE(op.run(50));
    EXPECT_EQ(capture.text(), "mDNS error: -65554: MDNS no such record.\n");
    EXPECT_EQ(op.last(), kDNSServiceErr_NoSuchRecord);
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

TEST_F(OperationBase, FailedStartMakesNoProcessingCallButStillWaits) {
    Script::failNextStart("DNSServiceBrowse", kDNSServiceErr_BadParam);
    ProbeOperation op(true);
    ASSERT_EQ(op.start(), kDNSServiceErr_BadParam);
    const auto begin = Clock::now();
    EXPECT_FALSE(op.run(40));
    EXPECT_GE(Clock::now() - begin, milliseconds(40));
    EXPECT_EQ(op.last(), kDNSServiceErr_BadParam);
    EXPECT_FALSE(op.isInitialized());
    EXPECT_EQ(Script::calls().size(), 1u);  // the start call only
}

TEST_F(OperationBase, ZeroTimeOutRunsTheLoopOnTheCallingThread) {
    std::thread::id replyThread;
    auto reply = dnssd_double::browseReply("a", "_probe._tcp.", "local.", 0);
    reply.beforeDelivery = [&] { replyThread = std::this_thread::get_id(); };
    Script::onStart("DNSServiceBrowse", {reply});
    ProbeOperation op(true);
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    EXPECT_TRUE(op.run(0));
    EXPECT_EQ(replyThread, std::this_thread::get_id());
    EXPECT_FALSE(op.open());
}

TEST_F(OperationBase, ZeroTimeOutLoopEndsWhenAnotherThreadEndsTheLifeCycle) {
    ProbeOperation op(false);
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    zelm_test::CoutCapture capture;
    std::thread ender([&] {
        Script::waitForCalls("DNSServiceBrowse", 1);
        std::this_thread::sleep_for(milliseconds(30));
        op.endLifeCycle();
    });
    EXPECT_TRUE(op.run(0));
    ender.join();
    EXPECT_FALSE(op.open());
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

TEST_F(OperationBase, EndLifeCycleAndDestructionOnIdleMakeNoCall) {
    {
        ProbeOperation op(true);
        op.startLifeCycle();
        op.endLifeCycle();
        EXPECT_FALSE(op.isInitialized());
    }
    EXPECT_TRUE(Script::calls().empty());
}

TEST_F(OperationBase, EndLifeCycleAndDestructionReleaseAnOpenRequest) {
    ProbeOperation op(true);
    ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
    const int fd = DNSServiceRefSockFD(currentRef());
    op.endLifeCycle();
    EXPECT_FALSE(op.open());
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
    (void)fd;
    {
        ProbeOperation other(true);
        ASSERT_EQ(other.start(), kDNSServiceErr_NoError);
    }
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 2u);
}

// The tear-down after a time-out races with replies still arriving on the
// service thread; the reference must never be deallocated while that thread
// is inside DNSServiceProcessResult.
TEST_F(OperationBase, TimeOutRacingWithRepliesNeverDeallocatesUnderAPass) {
    zelm_test::CoutCapture capture;
    for (int round = 0; round < 40; ++round) {
        ProbeOperation op(false);
        ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
        const DNSServiceRef ref = currentRef();
        std::thread feeder([ref] {
            for (int i = 0;
                 i < 200 && Script::queueReply(ref, dnssd_double::browseReply("x", "_p._tcp.", "local."));
                 ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        op.run(1 + round % 5);
        feeder.join();
        EXPECT_FALSE(op.open());
    }
}

TEST_F(OperationBase, EndLifeCycleFromAnotherThreadDuringAnOperation) {
    zelm_test::CoutCapture capture;
    for (int round = 0; round < 40; ++round) {
        ProbeOperation op(false);
        ASSERT_EQ(op.start(), kDNSServiceErr_NoError);
        std::thread ender([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 7)));
            op.endLifeCycle();
        });
        op.run(20);
        ender.join();
        EXPECT_FALSE(op.open());
    }
}

}  // namespace

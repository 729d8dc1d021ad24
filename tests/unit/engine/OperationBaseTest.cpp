// The operation base through its simplest user, the browse: what the browse
// suite does not reach.

#include "discovery/Browse_impl.h"

#include <zelm/Semaphore.h>

#include <future>
#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::Test;

// A reply can signal before its caller waits; the signal must be kept. The
// suites reach this case only by chance.
TEST(OperationBase, ItsSemaphoreKeepsASignalGivenBeforeTheWait) {
    Zelm::Semaphore semaphore(0);
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait_for_milliseconds(1000));
}

// With a time-out of 0 the loop runs on the calling thread until the
// operation ends; without a completing reply only an end of the life cycle
// on another thread ends it.
TEST(OperationBase, ZeroTimeOutLoopEndsWithTheLifeCycleOnAnotherThread) {
    std::promise<void> replied;
    Double::onStart("DNSServiceBrowse", {after([&] { replied.set_value(); }, browseReply("A"))});
    Zelm::MDNS::Apple::Browse_impl browse;
    CoutCapture capture;
    std::thread ender([&] {
        replied.get_future().wait();
        browse.endLifeCycle();
    });
    EXPECT_TRUE(browse.browseService(0, "_ipp._tcp.", "", 0, 0, nullptr).ok());
    ender.join();
    EXPECT_EQ(browse.getInfo().size(), 1u);
    EXPECT_EQ(Double::calls("DNSServiceRefDeallocate").size(), 1u);
}

// The tear-down, after a time-out or from another thread, races with replies
// on the service thread; the double counts a deallocation under a pass.
TEST(OperationBase, TearDownRacingWithRepliesNeverDeallocatesUnderAPass) {
    CoutCapture capture;
    for (unsigned round = 0; round < 80; ++round) {
        Zelm::MDNS::Apple::Browse_impl browse;
        std::thread other([&browse, round] {
            Double::waitForCalls("DNSServiceBrowse", round + 1);
            const DNSServiceRef ref = Double::calls("DNSServiceBrowse").back().ref;
            if (round % 2) {
                std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 7)));
                browse.endLifeCycle();
            }
            for (int i = 0; i < 200 && Double::queueReply(ref, browseReply("x")); ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        browse.browseService(round % 2 ? 20 : 1 + round % 5, "_ipp._tcp.", "", 0, 0, nullptr);
        other.join();
    }
}

}  // namespace

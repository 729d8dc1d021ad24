// The operation base through its simplest user, the browse: what the browse
// suite does not reach. (A tear-down racing with replies is the hardening
// suite's.)

#include "Browse_impl.h"

#include <future>
#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::Test;

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

}  // namespace

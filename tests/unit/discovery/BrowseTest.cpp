#include "Browse_impl.h"

#include <zelm/mdns/Info.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::Test;
using Zelm::MDNS::Info;
using Infos = std::vector<Info>;

constexpr const char* kNotRunningLine = "mDNS error: -65563: MDNS background daemon not running.\n";
const Reply kEnd = processFailure(kDNSServiceErr_ServiceNotRunning);

Info ipp(const char* name, int interfaceIndex = 1) { return {name, "_ipp._tcp.", "local.", interfaceIndex}; }

// With a time-out of 0 the loop runs on this thread until the scripted
// failure ends it. Every successful reply becomes an entry, departures and
// null texts included; a throwing callback neither loses one nor ends the
// browse; error replies are written and skipped. A null type is refused
// before any start, however long its time-out.
TEST(Browse, CollectsEveryReplyInArrivalOrderDespiteAThrowingCallbackAndRefusesANullType) {
    Double::onStart("DNSServiceBrowse",
                    {browseReply("Printer"), browseReply("Printer", 0, 1, kDNSServiceErr_NameConflict),
                     browseReply("Printer", kDNSServiceFlagsAdd, 2), browseReply("Scanner", 0, 2),
                     browseReply(nullptr), kEnd});
    Zelm::MDNS::Apple::Browse_impl browse;
    Infos told;
    CoutCapture capture;

    const Zelm::Error result =
        browse.browseService(0, "_ipp._tcp.", nullptr, 3, kDNSServiceFlagsDefault, [&](const Info& info) {
            told.push_back(info);
            throw std::runtime_error("host failure");
        });

    expectError(result, kDNSServiceErr_NoError, Zelm::Error::Discovery);
    const Infos expected{ipp("Printer"), ipp("Printer", 2), ipp("Scanner", 2), {"", "", "", 1}};
    EXPECT_EQ(browse.getInfo(), expected);
    EXPECT_EQ(told, expected);
    EXPECT_EQ(capture.text(), std::string("mDNS error: -65548: MDNS name conflict.\n") + kNotRunningLine);
    // The default domains are an empty text, never a null pointer.
    EXPECT_EQ(Double::calls("DNSServiceBrowse").at(0).args, "flags=4 if=3 type=_ipp._tcp. domain=");

    expectError(browse.browseService(60000, nullptr, "local.", 0, 0, nullptr), kDNSServiceErr_BadParam,
                Zelm::Error::Discovery);
    EXPECT_EQ(Double::calls().size(), 2u);  // the first browse and its deallocation
}

// A real time-out: the reply arrives on the service thread, and the browse
// lasts its whole time-out although nothing more comes. So does a refused
// start, silently.
TEST(Browse, TimedBrowseReportsFromTheServiceThreadAndItOrAFailedStartLastsItsTimeOut) {
    Double::onStart("DNSServiceBrowse", {browseReply("A")});
    Zelm::MDNS::Apple::Browse_impl browse;
    std::thread::id callbackThread;
    CoutCapture capture;
    const auto begin = std::chrono::steady_clock::now();

    expectError(browse.browseService(150, "_ipp._tcp.", "local.", 0, 0,
                                     [&](const Info&) { callbackThread = std::this_thread::get_id(); }),
                kDNSServiceErr_NoError, Zelm::Error::Discovery);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(150));
    EXPECT_NE(callbackThread, std::thread::id());
    EXPECT_NE(callbackThread, std::this_thread::get_id());
    EXPECT_EQ(browse.getInfo(), Infos{ipp("A")});
    EXPECT_FALSE(browse.isInitialized());

    const std::string written = capture.text();
    Double::failNextStart("DNSServiceBrowse", kDNSServiceErr_BadParam);
    const auto failedAt = std::chrono::steady_clock::now();
    expectError(browse.browseService(60, "_ipp._tcp.", "local.", 0, 0, nullptr), kDNSServiceErr_BadParam,
                Zelm::Error::Discovery);
    EXPECT_GE(std::chrono::steady_clock::now() - failedAt, std::chrono::milliseconds(60));
    EXPECT_EQ(capture.text(), written);
}

// The first browse, with a time-out of 0, is held inside its second reply on
// another thread; meanwhile this thread reads the entries so far and is
// refused a second. With nothing more to come, only an end of the life cycle
// ends that first browse. A later browse that finds nothing returns the
// failure that ended it, with no entries.
TEST(Browse, WhileABrowseRunsGetInfoShowsItsEntriesAndASecondIsRefused) {
    Gate gate;
    Double::onStart("DNSServiceBrowse", {browseReply("A"), gate.hold(browseReply("B"))});
    Zelm::MDNS::Apple::Browse_impl browse;
    CoutCapture capture;
    Zelm::Error firstResult;
    std::thread first([&] { firstResult = browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, nullptr); });
    gate.reached.get_future().wait();

    EXPECT_EQ(browse.getInfo(), Infos{ipp("A")});
    expectBusy(browse.browseService(0, "_other._tcp.", "local.", 0, 0, nullptr));
    EXPECT_EQ(Double::calls("DNSServiceBrowse").size(), 1u);
    gate.released.set_value();
    browse.endLifeCycle();
    first.join();
    EXPECT_TRUE(firstResult.ok());
    EXPECT_EQ(browse.getInfo().size(), 2u);
    EXPECT_EQ(Double::calls("DNSServiceRefDeallocate").size(), 1u);

    Double::onStart("DNSServiceBrowse", {kEnd});
    expectError(browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, nullptr),
                kDNSServiceErr_ServiceNotRunning, Zelm::Error::Discovery);
    EXPECT_TRUE(browse.getInfo().empty());
}

}  // namespace

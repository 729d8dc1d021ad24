#include "discovery/Browse_impl.h"

#include <zelm/mdns/MDNSError.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "DiscoveryFixture.h"

namespace {

using dnssd_double::browseReply;
using dnssd_double::errorReply;
using dnssd_double::processFailure;
using dnssd_double::Reply;
using dnssd_double::Script;
using Zelm::MDNS::Info;
using Zelm::MDNS::Apple::Browse_impl;

constexpr const char* kNotRunningLine = "mDNS error: -65563: MDNS background daemon not running.\n";

using BrowseTest = DiscoveryTest;

// With a time-out of 0 the reply loop runs on the caller's thread until the
// scripted processing failure ends it: no timing is involved.
TEST_F(BrowseTest, CollectsEveryReplyAsReportedInArrivalOrder) {
    Reply unnamed = browseReply("", "", "");
    unnamed.name.reset();
    unnamed.regtype.reset();
    unnamed.domain.reset();
    Script::onStart("DNSServiceBrowse",
                    {browseReply("Printer", "_ipp._tcp.", "local.", kDNSServiceFlagsAdd, 1),
                     errorReply(kDNSServiceErr_NameConflict),
                     browseReply("Printer", "_ipp._tcp.", "local.", kDNSServiceFlagsAdd, 2),
                     browseReply("Scanner", "_ipp._tcp.", "local.", 0, 2),  // a departure
                     browseReply("Scanner", "_ipp._tcp.", "local.", 0, 2), unnamed,
                     processFailure(kDNSServiceErr_ServiceNotRunning)});
    Browse_impl browse;
    std::vector<Info> told;
    zelm_test::CoutCapture capture;

    const Zelm::Error result =
        browse.browseService(0, "_ipp._tcp.", nullptr, 0, 0, [&](const Info& info) { told.push_back(info); });

    expectError(result, kDNSServiceErr_NoError, Zelm::Error::Discovery);
    const std::vector<Info> expected{{"Printer", "_ipp._tcp.", "local.", 1},
                                     {"Printer", "_ipp._tcp.", "local.", 2},
                                     {"Scanner", "_ipp._tcp.", "local.", 2},
                                     {"Scanner", "_ipp._tcp.", "local.", 2},
                                     {"", "", "", 1}};
    EXPECT_EQ(browse.getInfo(), expected);
    EXPECT_EQ(told, expected);
    EXPECT_EQ(capture.text(), std::string("mDNS error: -65548: MDNS name conflict.\n") + kNotRunningLine);
}

TEST_F(BrowseTest, RequestReachesDnsSdWithTheDomainAsText) {
    Script::onStart("DNSServiceBrowse", {processFailure(kDNSServiceErr_ServiceNotRunning)});
    Script::onStart("DNSServiceBrowse", {processFailure(kDNSServiceErr_ServiceNotRunning)});
    Browse_impl browse;
    zelm_test::CoutCapture capture;

    browse.browseService(0, "_http._tcp.", nullptr, 3, kDNSServiceFlagsDefault, nullptr);
    browse.browseService(0, "_http._tcp.", "example.", 4, 0, nullptr);

    const auto calls = Script::calls("DNSServiceBrowse");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].regtype, "_http._tcp.");
    EXPECT_EQ(calls[0].domain, std::optional<std::string>(""));  // never a null pointer
    EXPECT_EQ(calls[0].interfaceIndex, 3u);
    EXPECT_EQ(calls[0].flags, static_cast<DNSServiceFlags>(kDNSServiceFlagsDefault));
    EXPECT_EQ(calls[0].context, static_cast<void*>(&browse));
    EXPECT_EQ(calls[1].domain, std::optional<std::string>("example."));
    EXPECT_EQ(calls[1].interfaceIndex, 4u);
}

TEST_F(BrowseTest, NothingFoundReturnsTheFailureThatEndedProcessing) {
    Script::onStart("DNSServiceBrowse", {errorReply(kDNSServiceErr_NoSuchName),
                                         processFailure(kDNSServiceErr_ServiceNotRunning)});
    Browse_impl browse;
    zelm_test::CoutCapture capture;

    const Zelm::Error result = browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, nullptr);

    expectError(result, kDNSServiceErr_ServiceNotRunning, Zelm::Error::Discovery);
    EXPECT_TRUE(browse.getInfo().empty());
    EXPECT_EQ(capture.text(), std::string("mDNS error: -65538: MDNS no such name.\n") + kNotRunningLine);
}

TEST_F(BrowseTest, FailedStartStillLastsTheTimeOutAndReturnsItsCodeSilently) {
    Script::failNextStart("DNSServiceBrowse", kDNSServiceErr_BadParam);
    Browse_impl browse;
    zelm_test::CoutCapture capture;
    const auto begin = std::chrono::steady_clock::now();

    const Zelm::Error result = browse.browseService(60, "_ipp._tcp.", "local.", 0, 0, nullptr);

    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(60));
    expectError(result, kDNSServiceErr_BadParam, Zelm::Error::Discovery);
    EXPECT_EQ(capture.text(), "");
    EXPECT_TRUE(Script::calls("DNSServiceRefDeallocate").empty());
}

TEST_F(BrowseTest, NullRegtypeIsRefusedWithoutAnyDnsSdCall) {
    Browse_impl browse;
    zelm_test::CoutCapture capture;

    const Zelm::Error result = browse.browseService(60000, nullptr, "local.", 0, 0, nullptr);

    expectError(result, kDNSServiceErr_BadParam, Zelm::Error::Discovery);
    EXPECT_TRUE(Script::calls().empty());
    EXPECT_EQ(capture.text(), "");
}

TEST_F(BrowseTest, ThrowingCallbackKeepsTheEntryAndTheBrowseGoesOn) {
    Script::onStart("DNSServiceBrowse",
                    {browseReply("A", "_ipp._tcp.", "local."), browseReply("B", "_ipp._tcp.", "local."),
                     processFailure(kDNSServiceErr_ServiceNotRunning)});
    Browse_impl browse;
    int calls = 0;
    zelm_test::CoutCapture capture;

    const Zelm::Error result = browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, [&](const Info&) {
        ++calls;
        throw std::runtime_error("host failure");
    });

    expectError(result, kDNSServiceErr_NoError, Zelm::Error::Discovery);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(browse.getInfo().size(), 2u);
    EXPECT_EQ(capture.text(), kNotRunningLine);
}

// A real time-out: the replies arrive on the service thread, and the browse
// lasts its whole time-out although nothing more comes.
TEST_F(BrowseTest, TimedBrowseReportsFromTheServiceThreadAndLastsItsTimeOut) {
    Script::onStart("DNSServiceBrowse", {browseReply("A", "_ipp._tcp.", "local.")});
    Browse_impl browse;
    std::promise<std::thread::id> callbackThread;
    zelm_test::CoutCapture capture;
    const auto begin = std::chrono::steady_clock::now();

    const Zelm::Error result = browse.browseService(300, "_ipp._tcp.", "local.", 0, 0, [&](const Info&) {
        callbackThread.set_value(std::this_thread::get_id());
    });

    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(300));
    expectError(result, kDNSServiceErr_NoError, Zelm::Error::Discovery);
    EXPECT_NE(callbackThread.get_future().get(), std::this_thread::get_id());
    EXPECT_EQ(browse.getInfo(), std::vector<Info>({{"A", "_ipp._tcp.", "local.", 1}}));
    EXPECT_FALSE(browse.isInitialized());
    EXPECT_EQ(Script::calls("DNSServiceRefDeallocate").size(), 1u);
}

// The first browse runs on another thread and is held inside its second
// reply; meanwhile this thread reads the entries so far and is refused a
// second browse.
TEST_F(BrowseTest, WhileABrowseRunsGetInfoShowsItsEntriesAndASecondIsRefused) {
    std::promise<void> held;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Reply second = browseReply("B", "_ipp._tcp.", "local.");
    second.beforeDelivery = [&held, released] {
        held.set_value();
        released.wait();
    };
    Script::onStart("DNSServiceBrowse", {browseReply("A", "_ipp._tcp.", "local."), second,
                                         processFailure(kDNSServiceErr_ServiceNotRunning)});
    Browse_impl browse;
    zelm_test::CoutCapture capture;
    std::thread first([&] { browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, nullptr); });
    held.get_future().wait();

    EXPECT_EQ(browse.getInfo(), std::vector<Info>({{"A", "_ipp._tcp.", "local.", 1}}));
    const Zelm::Error busy = browse.browseService(0, "_other._tcp.", "local.", 0, 0, nullptr);
    const Zelm::MDNS::BrowseOperationAlreadyInProgress expected;
    EXPECT_EQ(busy.code(), expected.code());
    EXPECT_EQ(busy.category(), expected.category());
    EXPECT_EQ(busy.message(), expected.message());
    EXPECT_EQ(Script::calls("DNSServiceBrowse").size(), 1u);
    EXPECT_EQ(browse.getInfo().size(), 1u);

    release.set_value();
    first.join();
    EXPECT_EQ(browse.getInfo().size(), 2u);

    // A new browse starts from an empty list.
    Script::onStart("DNSServiceBrowse", {processFailure(kDNSServiceErr_ServiceNotRunning)});
    browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, nullptr);
    EXPECT_TRUE(browse.getInfo().empty());
}

}  // namespace

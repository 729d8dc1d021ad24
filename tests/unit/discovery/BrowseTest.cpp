#include "discovery/Browse_impl.h"

#include <zelm/mdns/Info.h>

#include <chrono>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "DoubleFixture.h"

namespace Zelm::MDNS {
// Readable failure messages for browse entries.
inline void PrintTo(const Info& info, std::ostream* out) {
    *out << '{' << info.serviceName << ", " << info.regtype << ", " << info.replyDomain << ", "
         << info.interfaceIndex << '}';
}
}  // namespace Zelm::MDNS

namespace {

using dnssd_double::browseReply;
using dnssd_double::errorReply;
using dnssd_double::processFailure;
using dnssd_double::Reply;
using dnssd_double::Script;
using Zelm::MDNS::Info;
using Zelm::MDNS::Apple::Browse_impl;
using zelm_test::expectError;

constexpr const char* kNotRunningLine = "mDNS error: -65563: MDNS background daemon not running.\n";
const Reply kEnd = processFailure(kDNSServiceErr_ServiceNotRunning);

using BrowseTest = zelm_test::DoubleFixture;

Reply ipp(const char* name, DNSServiceFlags flags = kDNSServiceFlagsAdd, uint32_t interfaceIndex = 1) {
    return browseReply(name, "_ipp._tcp.", "local.", flags, interfaceIndex);
}

// With a time-out of 0 the reply loop runs on the caller's thread until the
// scripted processing failure ends it: no timing is involved. A callback that
// throws neither loses its entry nor ends the browse.
TEST_F(BrowseTest, CollectsEveryReplyAsReportedInArrivalOrderDespiteAThrowingCallback) {
    Reply unnamed = browseReply("", "", "");
    unnamed.name.reset();
    unnamed.regtype.reset();
    unnamed.domain.reset();
    Script::onStart("DNSServiceBrowse", {ipp("Printer"), errorReply(kDNSServiceErr_NameConflict),
                                         ipp("Printer", kDNSServiceFlagsAdd, 2), ipp("Scanner", 0, 2),
                                         ipp("Scanner", 0, 2), unnamed, kEnd});
    Browse_impl browse;
    std::vector<Info> told;
    zelm_test::CoutCapture capture;

    const Zelm::Error result =
        browse.browseService(0, "_ipp._tcp.", nullptr, 3, kDNSServiceFlagsDefault, [&](const Info& info) {
            told.push_back(info);
            throw std::runtime_error("host failure");
        });

    expectError(result, kDNSServiceErr_NoError, Zelm::Error::Discovery);
    const std::vector<Info> expected{{"Printer", "_ipp._tcp.", "local.", 1},
                                     {"Printer", "_ipp._tcp.", "local.", 2},
                                     {"Scanner", "_ipp._tcp.", "local.", 2},
                                     {"Scanner", "_ipp._tcp.", "local.", 2},
                                     {"", "", "", 1}};
    EXPECT_EQ(browse.getInfo(), expected);
    EXPECT_EQ(told, expected);
    EXPECT_EQ(capture.text(), std::string("mDNS error: -65548: MDNS name conflict.\n") + kNotRunningLine);

    const auto call = Script::calls("DNSServiceBrowse").at(0);
    EXPECT_EQ(call.regtype, "_ipp._tcp.");
    EXPECT_EQ(call.domain, std::optional<std::string>(""));  // never a null pointer
    EXPECT_EQ(call.interfaceIndex, 3u);
    EXPECT_EQ(call.flags, static_cast<DNSServiceFlags>(kDNSServiceFlagsDefault));
    EXPECT_EQ(call.context, static_cast<void*>(&browse));
}

TEST_F(BrowseTest, NothingFoundReturnsTheFailureThatEndedProcessing) {
    Script::onStart("DNSServiceBrowse", {errorReply(kDNSServiceErr_NoSuchName), kEnd});
    Browse_impl browse;
    zelm_test::CoutCapture capture;

    const Zelm::Error result = browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, nullptr);

    expectError(result, kDNSServiceErr_ServiceNotRunning, Zelm::Error::Discovery);
    EXPECT_TRUE(browse.getInfo().empty());
    EXPECT_EQ(capture.text(), std::string("mDNS error: -65538: MDNS no such name.\n") + kNotRunningLine);
}

TEST_F(BrowseTest, NullRegtypeIsRefusedAndAFailedStartLastsTheTimeOutSilently) {
    Browse_impl browse;
    zelm_test::CoutCapture capture;

    expectError(browse.browseService(60000, nullptr, "local.", 0, 0, nullptr), kDNSServiceErr_BadParam,
                Zelm::Error::Discovery);
    EXPECT_TRUE(Script::calls().empty());

    Script::failNextStart("DNSServiceBrowse", kDNSServiceErr_BadParam);
    const auto begin = std::chrono::steady_clock::now();
    const Zelm::Error result = browse.browseService(60, "_ipp._tcp.", "local.", 0, 0, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(60));
    expectError(result, kDNSServiceErr_BadParam, Zelm::Error::Discovery);
    EXPECT_EQ(capture.text(), "");
    EXPECT_TRUE(Script::calls("DNSServiceRefDeallocate").empty());
}

// A real time-out: the reply arrives on the service thread, and the browse
// lasts its whole time-out although nothing more comes.
TEST_F(BrowseTest, TimedBrowseReportsFromTheServiceThreadAndLastsItsTimeOut) {
    Script::onStart("DNSServiceBrowse", {ipp("A")});
    Browse_impl browse;
    std::thread::id callbackThread;
    zelm_test::CoutCapture capture;
    const auto begin = std::chrono::steady_clock::now();

    const Zelm::Error result = browse.browseService(
        150, "_ipp._tcp.", "local.", 0, 0, [&](const Info&) { callbackThread = std::this_thread::get_id(); });

    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(150));
    expectError(result, kDNSServiceErr_NoError, Zelm::Error::Discovery);
    EXPECT_NE(callbackThread, std::thread::id());
    EXPECT_NE(callbackThread, std::this_thread::get_id());
    EXPECT_EQ(browse.getInfo(), std::vector<Info>({{"A", "_ipp._tcp.", "local.", 1}}));
    EXPECT_FALSE(browse.isInitialized());
}

// The first browse runs on another thread and is held inside its second
// reply; meanwhile this thread reads the entries so far and is refused a
// second browse.
TEST_F(BrowseTest, WhileABrowseRunsGetInfoShowsItsEntriesAndASecondIsRefused) {
    zelm_test::Gate gate;
    Script::onStart("DNSServiceBrowse", {ipp("A"), gate.hold(ipp("B")), kEnd});
    Browse_impl browse;
    zelm_test::CoutCapture capture;
    std::thread first([&] { browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, nullptr); });
    gate.waitReached();

    EXPECT_EQ(browse.getInfo(), std::vector<Info>({{"A", "_ipp._tcp.", "local.", 1}}));
    zelm_test::expectBusy(browse.browseService(0, "_other._tcp.", "local.", 0, 0, nullptr));
    EXPECT_EQ(Script::calls("DNSServiceBrowse").size(), 1u);
    EXPECT_EQ(browse.getInfo().size(), 1u);

    gate.release();
    first.join();
    EXPECT_EQ(browse.getInfo().size(), 2u);

    // A new browse starts from an empty list.
    Script::onStart("DNSServiceBrowse", {kEnd});
    browse.browseService(0, "_ipp._tcp.", "local.", 0, 0, nullptr);
    EXPECT_TRUE(browse.getInfo().empty());
}

}  // namespace

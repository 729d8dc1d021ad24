// What a host sees when the mDNS daemon or the D-Bus bus goes away, and what
// the peer on host B sees: one row per fault. Each row prints a "fault |"
// line with its measurements; docs/faults.md records them.
// The daemon or the bus stalled (SIGSTOP) is a fault of its own: it is still
// there and answers nothing, which no call may wait out.

#include "AddressInfo_impl.h"
#include "Browse_impl.h"
#include "Resolve_impl.h"
#include "ServiceRegister_impl.h"

#include "Sandbox.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <dns_sd.h>

#include <arpa/inet.h>
#include <poll.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <regex>
#include <thread>

namespace {

using namespace Zelm::Test;
using Command = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
constexpr const char* kType = "_zelmfault._tcp";

// Threads and descriptors are back where they were once every component ended.
struct Baseline : ::testing::Environment {
    static long usage() {
        return threadCount() * 1000 + std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    }
    long before = 0;
    void SetUp() override {
        std::thread([] {}).join();  // a sanitizer's runtime starts a thread of its own on the first
        before = usage();
    }
    void TearDown() override {
        settledThreadCount(static_cast<int>(before / 1000));  // the daemon link lingers a moment
        EXPECT_EQ(usage(), before) << "threads * 1000 + descriptors";
    }
};
const auto* const baseline = ::testing::AddGlobalTestEnvironment(new Baseline);

struct Registration : Zelm::MDNS::Apple::ServiceRegister_impl {
    Registration() : ServiceRegister_impl(true) {}
    Zelm::Error publish(const std::string& name) {
        return doServiceRegister(kType, 8090, 0, nullptr, name.c_str(), nullptr, nullptr, 0, 0);
    }
    // What the keep-alive thread does, with a record of the test's choosing.
    DNSServiceErrorType updateTxt(const std::string& txt) {
        return DNSServiceUpdateRecord(sdRef, nullptr, 0, static_cast<uint16_t>(txt.size()), txt.data(), 0);
    }
};

Zelm::Error runOperation(const std::string& kind, const std::string& name, unsigned browseMs = 3000) {
    if (kind == "browse")
        return Zelm::MDNS::Apple::Browse_impl().browseService(browseMs, kType, nullptr, 0, 0, {});
    if (kind == "resolve")
        return Zelm::MDNS::Apple::Resolve_impl().resolveService("Nobody", kType, "local.", 0, 0);
    if (kind == "lookup")
        return Zelm::MDNS::Apple::AddressInfo_impl().getAddressInfo("nobody-zelm.local.", 0, 0, 0);
    return Registration().publish(name);
}

struct Row {
    const char* fault;
    const char* operation;
    Command before, during;  // sandbox commands: before the operation, and `delayMs` into it
    int delayMs;
    DNSServiceErrorType code;
    int category;
    const char* lines;  // regular expression of the diagnostic lines
    double maxSeconds;
};

// The diagnostic lines: of the loop, of the two failing start calls, of the
// registration's error reply.
const char* const kLoop = "(mDNS error: -65563: .*\n)+";
const char* const kLookup = "AddressInfo_impl::getAddressInfo:mDNS error: -65563: .*\n";
const char* const kStart = "ServiceRegister_impl: DNSServiceRegister err = mDNS error: -65563: .*\n";
const char* const kReply =
    " Error Registering service: -65563\\(Zelm Fault .*\\._zelmfault\\._tcp\\.local\\.\\)\n";
const Command kDaemon = {"daemon", "stop"}, kBus = {"bus", "stop"};

const Row kRows[] = {
    {"daemon absent", "browse", kDaemon, {}, 0, -65563, 0, "", 4.5},
    {"daemon absent", "resolve", kDaemon, {}, 0, -65563, 2, "", 0.5},
    {"daemon absent", "lookup", kDaemon, {}, 0, -65563, 2, kLookup, 0.5},
    {"daemon absent", "register", kDaemon, {}, 0, -65563, 2, kStart, 0.5},
    {"daemon killed", "browse", {}, kDaemon, 500, -65563, 0, kLoop, 4.5},
    {"daemon killed", "resolve", {}, kDaemon, 500, -65545, 2, "mDNS error: -65563: .*\n", 1.5},
    {"daemon killed", "lookup", {}, kDaemon, 150, -65563, 2, kLoop, 4.5},
    {"daemon killed", "register", {}, kDaemon, 100, -65563, 2, kReply, 1.5},
    {"bus killed", "browse", {}, kBus, 500, -65563, 0, kLoop, 4.5},
    {"bus absent", "register", kBus, {}, 0, -65563, 2, kStart, 0.5},
};

TEST(FaultTable, OperationsEndWithTheirComponentsErrorAndLine) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::string(row.fault) + " / " + row.operation);
        ASSERT_TRUE(row.before.empty() || sandboxCommand(row.before));
        const std::string name = uniqueName("Zelm Fault");
        CoutCapture out;
        std::thread fault([&] {  // hits `delayMs` into the operation
            std::this_thread::sleep_for(std::chrono::milliseconds(row.delayMs));
            if (!row.during.empty()) sandboxCommand(row.during);
        });
        const auto begin = Clock::now();
        const Zelm::Error result = runOperation(row.operation, name);
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        fault.join();
        std::printf("fault | %s | %s | %d | %d | %s | %.2f s\n", row.fault, row.operation,
                    static_cast<int>(result.code()), static_cast<int>(result.category()),
                    std::regex_replace(out.text(), std::regex("\n"), "\\n").c_str(), seconds);
        EXPECT_EQ(static_cast<int>(result.code()), row.code);
        EXPECT_EQ(static_cast<int>(result.category()), row.category);
        EXPECT_TRUE(std::regex_match(out.text(), std::regex(row.lines))) << out.text();
        EXPECT_LT(seconds, row.maxSeconds);
        EXPECT_TRUE(std::string(row.operation) != "register" ||
                    peerWaitFor(kType, name, {"--gone"}).value("event", "") == "absent");
        ASSERT_TRUE(sandboxCommand({"bus", "start"}) && sandboxCommand({"daemon", "start"}));
    }
}

// Prints `what`'s "fault |" line with the code `call` returned and the time
// it took, which must stay under `bound`.
int timed(const std::string& what, double bound, const std::function<int()>& call) {
    const auto begin = Clock::now();
    const int code = call();
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("fault | %s | %d | %.2f s\n", what.c_str(), code, seconds);
    std::fflush(stdout);
    EXPECT_LT(seconds, bound) << what;
    return code;
}

// The start calls, with replies that do not matter but a registration's
// first, which goes to `first` if given.
DNSServiceErrorType startCall(const std::string& call, DNSServiceRef* ref, void* first = nullptr) {
    constexpr auto ignore = [](auto...) {};
    constexpr auto keepCode = [](auto, auto, DNSServiceErrorType code, auto, auto, auto, void* first) {
        if (first != nullptr) *static_cast<DNSServiceErrorType*>(first) = code;
    };
    if (call == "DNSServiceBrowse") return DNSServiceBrowse(ref, 0, 0, kType, nullptr, ignore, nullptr);
    if (call == "DNSServiceResolve")
        return DNSServiceResolve(ref, 0, 0, "Nobody", kType, "local.", ignore, nullptr);
    if (call == "DNSServiceGetAddrInfo")
        return DNSServiceGetAddrInfo(ref, 0, 0, 0, "nobody-zelm.local.", ignore, nullptr);
    return DNSServiceRegister(ref, 0, 0, uniqueName("Zelm Stall").c_str(), kType, nullptr, nullptr,
                              htons(8091), 0, nullptr, keepCode, first);
}

// Each start call, and its component's operation with the time it may take:
// its own time-out, or for a registration the start's bound, plus 0.5 s.
const struct {
    const char* call;
    const char* component;
    double componentBound;
} kStallCalls[] = {{"DNSServiceBrowse", "browse", 1.5},
                   {"DNSServiceResolve", "resolve", 4.5},
                   {"DNSServiceGetAddrInfo", "lookup", 4.5},
                   {"DNSServiceRegister", "register", 1.5}};

TEST(FaultTable, StalledDaemonOrBusEndsEveryCallInBoundedTime) {
    const auto startEach = [](const std::string& fault, DNSServiceErrorType expected, double bound) {
        for (const auto& call : kStallCalls) {
            DNSServiceRef ref = nullptr;
            const int code =
                timed(fault + " | " + call.call, bound, [&] { return startCall(call.call, &ref); });
            EXPECT_EQ(code, expected) << call.call;
            if (code == kDNSServiceErr_NoError) DNSServiceRefDeallocate(ref);
        }
    };
    for (const std::string component : {"daemon", "bus"}) {
        const std::string fault = component + " paused";
        const Command pause = {component, "pause"}, resume = {component, "resume"};
        SCOPED_TRACE(fault);
        // Past the idle daemon link's linger: the first start opens a new bus connection.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_TRUE(sandboxCommand(pause));
        startEach(fault, kDNSServiceErr_ServiceNotRunning, 1.0);
        for (const auto& call : kStallCalls) {
            CoutCapture out;
            timed(fault + " | " + call.component + " component", call.componentBound, [&] {
                return static_cast<int>(runOperation(call.component, uniqueName("Zelm Stall"), 1000).code());
            });
        }
        ASSERT_TRUE(sandboxCommand(resume));
        startEach(fault + ", resumed", kDNSServiceErr_NoError, 5.0);

        // A registration the daemon accepted and had not confirmed when it
        // stalled: its first reply (1: none) within 15 s.
        DNSServiceRef ref = nullptr;
        DNSServiceErrorType reply = 1;
        ASSERT_EQ(startCall("DNSServiceRegister", &ref, &reply), kDNSServiceErr_NoError);
        ASSERT_TRUE(sandboxCommand(pause));
        pollfd fd{DNSServiceRefSockFD(ref), POLLIN, 0};
        const auto end = Clock::now() + std::chrono::seconds(15);
        timed(fault + " | unconfirmed registration's reply", 10.0, [&] {
            while (reply == 1 && Clock::now() < end)
                if (::poll(&fd, 1, 100) > 0 && DNSServiceProcessResult(ref) != kDNSServiceErr_NoError) break;
            return reply;
        });
        DNSServiceRefDeallocate(ref);
        ASSERT_TRUE(sandboxCommand(resume));
        EXPECT_LT(reply, 0) << "an error reply";
    }
}

struct Away {
    const char* fault;
    std::vector<Command> leave, back;
    bool peerTakesName;
};
const Away kAway[] = {
    {"daemon restarted", {{"daemon", "stop"}}, {{"daemon", "start"}}, false},
    {"bus restarted", {{"bus", "stop"}}, {{"bus", "start"}, {"daemon", "start"}}, false},
    {"name taken while the daemon was away", {{"daemon", "stop"}}, {{"daemon", "start"}}, true},
};

TEST(FaultTable, RegistrationInForceIsPublishedAgainWhenTheDaemonReturns) {
    for (const Away& row : kAway) {
        SCOPED_TRACE(row.fault);
        const std::string name = uniqueName("Zelm Away");
        const std::string txt = "\x03v=2", txtHex = "03763d32";
        Registration registration;
        ASSERT_TRUE(registration.publish(name).ok());
        ASSERT_EQ(registration.updateTxt(txt), kDNSServiceErr_NoError);
        ASSERT_TRUE(!peerWaitFor(kType, name, {"--txt-hex", txtHex}).is_null());

        // An open browse ends with the error reply; the registration stays.
        CoutCapture out;
        Zelm::MDNS::Apple::Browse_impl open;
        std::thread browsing([&] { open.browseService(2000, "_zelmquiet._tcp", nullptr, 0, 0, {}); });
        for (const Command& command : row.leave) ASSERT_TRUE(sandboxCommand(command));
        browsing.join();
        EXPECT_EQ(out.text().find("mDNS error: -65563: MDNS background daemon not running.\n"), 0u);
        EXPECT_TRUE(registration.isInitialized());
        EXPECT_TRUE(!peerWaitFor(kType, name, {"--gone"}).is_null());
        // A keep-alive refresh meanwhile fails quietly.
        EXPECT_EQ(registration.updateTxt(txt), kDNSServiceErr_ServiceNotRunning);

        std::optional<PeerPublisher> squatter;
        if (row.peerTakesName) squatter.emplace(name, kType, 9999);
        const std::string expected = row.peerTakesName ? name + " #2" : name;
        auto seen = std::async(std::launch::async, [&] {
            return peerWaitFor(kType, expected, {"--txt-hex", txtHex});
        });
        for (const Command& command : row.back) ASSERT_TRUE(sandboxCommand(command));
        const auto back = Clock::now();
        const bool found = !seen.get().is_null();
        const double seconds = std::chrono::duration<double>(Clock::now() - back).count();
        std::printf("fault | %s | peer sees \"%s\" again after %.2f s\n", row.fault, expected.c_str(),
                    seconds);
        ASSERT_TRUE(found);
        EXPECT_TRUE(row.peerTakesName || seconds < 2.0) << seconds;
        EXPECT_EQ(registration.updateTxt(txt), kDNSServiceErr_NoError);
        // New operations work on the same process, without a new component.
        Zelm::MDNS::Apple::Resolve_impl resolve;
        EXPECT_TRUE(resolve.resolveService(expected.c_str(), kType, "local.", 0, 0).ok());
    }
}

}  // namespace

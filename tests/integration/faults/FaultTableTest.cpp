// What a host sees when the mDNS daemon or the D-Bus bus goes away, and what
// the peer on host B sees: one row per fault. Each row prints a "fault |"
// line with its measurements; docs/faults.md records them.

#include "advertise/ServiceRegister_impl.h"
#include "discovery/AddressInfo_impl.h"
#include "discovery/Browse_impl.h"
#include "discovery/Resolve_impl.h"

#include "SandboxProcess.h"
#include "TestSupport.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <thread>

namespace {

using namespace zelm_sandbox;
using Command = std::vector<std::string>;
constexpr const char* kType = "_zelmfault._tcp";
const std::string kNotRunning = "mDNS error: -65563: MDNS background daemon not running.\n";

int descriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

// Threads and descriptors are back where they were once every component ended.
struct Baseline : ::testing::Environment {
    int threads = 0, descriptors = 0;
    void SetUp() override { threads = zelm_test::threadCount(), descriptors = descriptorCount(); }
    void TearDown() override {
        EXPECT_EQ(zelm_test::threadCount(), threads);
        EXPECT_EQ(descriptorCount(), descriptors);
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

struct Outcome {
    Zelm::Error result;
    std::string lines;
    double seconds;
};

// Runs `operation` while `fault` hits `delayMs` after its start.
template <typename Operation>
Outcome measure(Operation operation, const Command& fault = {}, int delayMs = 0) {
    zelm_test::CoutCapture out;
    std::thread faulty([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (!fault.empty()) sandboxCommand(fault);
    });
    const auto begin = Clock::now();
    const Zelm::Error result = operation();
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    faulty.join();
    return {result, out.text(), seconds};
}

Zelm::Error runOperation(const std::string& kind) {
    const std::string name = uniqueName("Zelm Fault");
    if (kind == "browse")
        return Zelm::MDNS::Apple::Browse_impl().browseService(3000, kType, nullptr, 0, 0, {});
    if (kind == "resolve")
        return Zelm::MDNS::Apple::Resolve_impl().resolveService("Nobody", kType, "local.", 0, 0);
    if (kind == "lookup")
        return Zelm::MDNS::Apple::AddressInfo_impl().getAddressInfo("nobody-zelm.local.", 0, 0, 0);
    Registration registration;
    const Zelm::Error result = registration.publish(name);
    if (result.ok()) {
        // A registration the daemon confirmed: the peer must see it.
        EXPECT_TRUE(!peerWaitFor(kType, name).is_null());
    }
    return result;
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

const Row kRows[] = {
    {"daemon absent", "browse", {"daemon", "stop"}, {}, 0, -65563, 0, "", 3.5},
    {"daemon absent", "resolve", {"daemon", "stop"}, {}, 0, -65563, 2, "", 0.5},
    {"daemon absent",
     "lookup",
     {"daemon", "stop"},
     {},
     0,
     -65563,
     2,
     "AddressInfo_impl::getAddressInfo:mDNS error: -65563: .*\n",
     0.5},
    {"daemon absent",
     "register",
     {"daemon", "stop"},
     {},
     0,
     -65563,
     2,
     "ServiceRegister_impl: DNSServiceRegister err = mDNS error: -65563: .*\n",
     0.5},
    {"daemon killed", "browse", {}, {"daemon", "stop"}, 500, -65563, 0, "(mDNS error: -65563: .*\n)+", 3.5},
    {"daemon killed", "resolve", {}, {"daemon", "stop"}, 500, -65545, 2, "mDNS error: -65563: .*\n", 1.5},
    {"daemon killed", "lookup", {}, {"daemon", "stop"}, 150, 0, 0, "", 1.5},
    {"daemon killed",
     "register",
     {},
     {"daemon", "stop"},
     250,
     -65563,
     2,
     " Error Registering service: -65563\\(Zelm Fault .*\\._zelmfault\\._tcp\\.local\\.\\)\n",
     1.5},
    {"bus killed", "browse", {}, {"bus", "stop"}, 500, -65563, 0, "(mDNS error: -65563: .*\n)+", 3.5},
    {"bus absent",
     "register",
     {"bus", "stop"},
     {},
     0,
     -65563,
     2,
     "ServiceRegister_impl: DNSServiceRegister err = mDNS error: -65563: .*\n",
     0.5},
};

TEST(FaultTable, OperationsEndWithTheErrorTheirPartsGive) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::string(row.fault) + " / " + row.operation);
        ASSERT_TRUE(row.before.empty() || sandboxCommand(row.before));
        const Outcome outcome = measure([&] { return runOperation(row.operation); }, row.during, row.delayMs);
        std::printf("fault | %s | %s | %d | %d | %s | %.2f s\n", row.fault, row.operation,
                    static_cast<int>(outcome.result.code()), static_cast<int>(outcome.result.category()),
                    std::regex_replace(outcome.lines, std::regex("\n"), "\\n").c_str(), outcome.seconds);
        EXPECT_EQ(static_cast<int>(outcome.result.code()), row.code);
        EXPECT_EQ(static_cast<int>(outcome.result.category()), row.category);
        EXPECT_TRUE(std::regex_match(outcome.lines, std::regex(row.lines))) << outcome.lines;
        EXPECT_LT(outcome.seconds, row.maxSeconds);
        ASSERT_TRUE(sandboxCommand({"bus", "start"}) && sandboxCommand({"daemon", "start"}));
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
        const std::string txt = "\x03v=2";
        Registration registration;
        ASSERT_TRUE(registration.publish(name).ok());
        ASSERT_EQ(registration.updateTxt(txt), kDNSServiceErr_NoError);
        ASSERT_TRUE(!peerWaitFor(kType, name, {"--txt-hex", toHex(txt)}).is_null());

        // An open browse ends with the error reply; the registration stays.
        zelm_test::CoutCapture out;
        Zelm::MDNS::Apple::Browse_impl open;
        std::thread browsing([&] { open.browseService(2000, "_zelmquiet._tcp", nullptr, 0, 0, {}); });
        for (const Command& command : row.leave) ASSERT_TRUE(sandboxCommand(command));
        browsing.join();
        EXPECT_EQ(out.text().find(kNotRunning), 0u);
        EXPECT_TRUE(registration.isInitialized());
        EXPECT_TRUE(!peerWaitFor(kType, name, {"--gone"}).is_null());
        // A keep-alive refresh meanwhile fails quietly.
        EXPECT_EQ(registration.updateTxt(txt), kDNSServiceErr_ServiceNotRunning);

        std::optional<PeerPublisher> squatter;
        if (row.peerTakesName) squatter.emplace(name, kType, 9999);
        const std::string expected = row.peerTakesName ? name + " #2" : name;
        ChildProcess peer(
            peerCommand({"wait", "--type", kType, "--name", expected, "--txt-hex", toHex(txt)}));
        for (const Command& command : row.back) ASSERT_TRUE(sandboxCommand(command));
        const auto back = Clock::now();
        const auto seen = peer.nextEvent(10s);
        const double seconds = std::chrono::duration<double>(Clock::now() - back).count();
        std::printf("fault | %s | peer sees \"%s\" again after %.2f s\n", row.fault, expected.c_str(),
                    seconds);
        ASSERT_TRUE(seen && seen->value("event", "") == "found");
        EXPECT_TRUE(row.peerTakesName || seconds < 2.0) << seconds;
        EXPECT_EQ(registration.updateTxt(txt), kDNSServiceErr_NoError);
        // New operations work on the same process, without a new component.
        Zelm::MDNS::Apple::Resolve_impl resolve;
        EXPECT_TRUE(resolve.resolveService(expected.c_str(), kType, "local.", 0, 0).ok());
    }
}

}  // namespace

// Discovery beyond the local link, as a host sees it through the plug-in: the
// backend asks the DNS server on host B (scripts/sandbox up --dns, host A's
// only resolver; avahi-daemon's wide-area off) for the zone
// scripts/lib/zelm.test.zone. One table; every row prints a "widearea |"
// line with what it measured, which README and docs/faults.md record.

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include "Plugin.h"
#include "Sandbox.h"
#include "TestSupport.h"

#include <dns_sd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

namespace {

using namespace Zelm::Test;
using namespace std::string_literals;
using Command = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using Names = std::vector<std::string>;
constexpr unsigned kBrowseMs = 1000;

// Components made as a host makes them: the built plug-in, loaded once and
// kept loaded, its factory, one component per operation.
template <typename Interface>
Zelm::Tool::Component<Interface> make() {
    static const Zelm::Tool::Plugin plugin(ZELM_PLUGIN_FILE);
    return plugin.create<Interface>();
}

enum class Op { Browse, Resolve, Lookup, Register };

struct Outcome {
    int code = 0;
    Names found;       // browse: the names, sorted; resolve: host, port, TXT bytes; lookup: the address
    std::string line;  // what the component printed (its error lines)
};

struct Row {
    const char* what;
    Op op;
    std::string first;         // browse: type; resolve: instance; lookup: host; register: instance
    std::string second;        // browse: domain; resolve and register: type; lookup: "4" or "6"
    Names expected;            // lookup: a sandbox variable's name
    int code = 0;              // 1: the code of a browse that finds nothing
    const char* printed = "";  // a text the component's output must hold (an error line's code)
    std::vector<Command> before = {};
    int dnsStopMs = 0;  // > 0: the DNS server stops this far into the browse
    bool forger = false;
};

constexpr int kNothing = 1;
const Names kWeb = {"Zelm Alpha", "Zelm Küche Süd 2"};
const Names kPrint = {"Zelm Big", "Zelm Empty"};

Names numbered(const std::string& base, int count) {
    Names names;
    for (int i = 1; i <= count; ++i) names.push_back(base + std::to_string(i));
    std::sort(names.begin(), names.end());
    return names;
}

std::string txt(const Names& strings) {
    std::string wire;
    for (const std::string& text : strings) wire += static_cast<char>(text.size()) + text;
    return wire;
}

const std::string kBigTxt = txt({"model=" + std::string(200, 'M'), "", "notes=" + std::string(243, 'N'),
                                 "url=" + std::string(202, 'u'), "flag"});

const Row kRows[] = {
    {"instances", Op::Browse, "_zelmweb._tcp", "zelm.test.", kWeb},
    {"instances", Op::Browse, "_zelmprint._tcp", "ZELM.test.", kPrint},
    {"250 instances, over TCP", Op::Browse, "_zelmmany._tcp", "zelm.test.", numbered("Zelm Many ", 250)},
    {"subtype", Op::Browse, "_color._sub._zelmprint._tcp", "zelm.test.", {"Zelm Big"}},
    {"subtype after a comma", Op::Browse, "_zelmprint._tcp,_color", "zelm.test.", {"Zelm Big"}},
    {"service types",
     Op::Browse,
     "_services._dns-sd._udp",
     "zelm.test.",
     {"_zelmmany", "_zelmprint", "_zelmweb"}},
    {"a name in the zone without DNS-SD records",
     Op::Browse,
     "_zelmweb._tcp",
     "plain.zelm.test.",
     {},
     kNothing},
    {"a zone without DNS-SD records", Op::Browse, "_zelmweb._tcp", "empty.test.", {}, kNothing},
    {"a domain the server has no zone for", Op::Browse, "_zelmweb._tcp", "nowhere.test.", {}, kNothing},
    // Found before the stop, and kept: their TTL has not run out.
    {"server stopped 0.3 s into the browse", Op::Browse, "_zelmweb._tcp", "zelm.test.", kWeb, 0, "", {}, 300},
    {"server absent", Op::Browse, "_zelmprint._tcp", "zelm.test.", {}, kNothing, "-65568", {{"dns", "stop"}}},
    {"server back", Op::Browse, "_zelmprint._tcp", "zelm.test.", kPrint, 0, "", {{"dns", "start"}}},
    {"forged answers first", Op::Browse, "_zelmweb._tcp", "zelm.test.", kWeb, 0, "", {}, 0, true},
    {"binary TXT",
     Op::Resolve,
     "Zelm Alpha",
     "_zelmweb._tcp",
     {"zelm-host-b.zelm.test.", "8080", "\013path=/alpha\010bin=\000\001\377\n"s}},
    {"UTF-8 name",
     Op::Resolve,
     "Zelm Küche Süd 2",
     "_zelmweb._tcp",
     {"zelm-host-b.zelm.test.", "8081", "\013room=Küche"}},
    {"empty value",
     Op::Resolve,
     "Zelm Empty",
     "_zelmprint._tcp",
     {"zelm-host-a.zelm.test.", "631", "\005note=\004flag"}},
    {"TXT of 670 bytes with an empty string",
     Op::Resolve,
     "Zelm Big",
     "_zelmprint._tcp",
     {"zelm-host-b.zelm.test.", "9100", kBigTxt}},
    {"no such instance",
     Op::Resolve,
     "Zelm Nobody",
     "_zelmweb._tcp",
     {},
     kDNSServiceErr_NotInitialized,
     "-65538"},
    {"IPv4", Op::Lookup, "zelm-host-b.zelm.test.", "4", {"ZELM_SANDBOX_ADDR_B"}},
    {"IPv6", Op::Lookup, "zelm-host-b.zelm.test.", "6", {"ZELM_SANDBOX_ADDR6_B"}},
    {"IPv4", Op::Lookup, "zelm-host-a.zelm.test.", "4", {"ZELM_SANDBOX_ADDR_A"}},
    {"IPv6", Op::Lookup, "zelm-host-a.zelm.test.", "6", {"ZELM_SANDBOX_ADDR6_A"}},
    // By DNS UPDATE with the sandbox's key (more in RegistrationTest.cpp).
    {"registration", Op::Register, "Zelm Wide", "_zelmweb._tcp", {}},
};

Outcome browse(const Row& row) {
    Outcome outcome;
    auto component = make<Zelm::MDNS::BrowseInterface>();
    const bool types = row.first == "_services._dns-sd._udp";
    // A subtype's instances are replied with their service type.
    std::string type = row.first.substr(0, row.first.find(','));
    if (const auto sub = type.find("._sub."); sub != std::string::npos) type.erase(0, sub + 6);
    outcome.code = static_cast<int>(
        component->browseService(kBrowseMs, row.first.c_str(), row.second.c_str(), 0, 0, {}).code());
    for (const Zelm::MDNS::Info& info : component->getInfo()) {
        // A type is replied as "_zelmweb" of "_tcp.<domain>" in ".".
        EXPECT_EQ(info.regtype + info.replyDomain,
                  types ? "_tcp."s + row.second + "." : type + "." + row.second)
            << info.serviceName;
        outcome.found.push_back(info.serviceName);
    }
    std::sort(outcome.found.begin(), outcome.found.end());
    return outcome;
}

Outcome run(const Row& row) {
    if (row.op == Op::Browse) return browse(row);
    Outcome outcome;
    if (row.op == Op::Resolve) {
        auto resolve = make<Zelm::MDNS::ResolveInterface>();
        outcome.code = static_cast<int>(
            resolve->resolveService(row.first.c_str(), row.second.c_str(), "zelm.test.", 0, 0).code());
        if (outcome.code == 0)
            outcome.found = {resolve->getHosttarget(), std::to_string(resolve->getPort()),
                             resolve->getTxtRecord()};
    } else if (row.op == Op::Lookup) {
        auto lookup = make<Zelm::MDNS::AddressInfoInterface>();
        const unsigned protocol = row.second == "4" ? kDNSServiceProtocol_IPv4 : kDNSServiceProtocol_IPv6;
        outcome.code = static_cast<int>(lookup->getAddressInfo(row.first.c_str(), protocol, 0, 0).code());
        outcome.found = {lookup->getSocketAddressAsString()};
    } else {
        const std::string config = sandboxVar("ZELM_SANDBOX_DIR") + "/dns/dnssd-update.conf";
        ::setenv("ZELM_DNSSD_UPDATE_CONFIG", config.c_str(), 1);
        auto registration = make<Zelm::MDNS::ServiceRegisterInterface>();
        outcome.code = static_cast<int>(registration
                                            ->doServiceRegister(row.second.c_str(), 9000, 0, nullptr,
                                                                uniqueName(row.first).c_str(), "zelm.test.",
                                                                nullptr, 0, 0)
                                            .code());
        EXPECT_EQ(registration->isInitialized(), outcome.code == 0);
    }
    return outcome;
}

TEST(WideArea, EveryCallInAUnicastDomainGivesTheZonesAnswerOrItsDocumentedCode) {
    // What a browse that finds nothing returns: one in local. that nobody answers.
    const int nothing = browse(Row{"", Op::Browse, "_zelmnobody._tcp", "local.", {}}).code;
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::string(row.what) + " / " + row.first + " " + row.second);
        for (const Command& command : row.before) ASSERT_TRUE(sandboxCommand(command));
        std::unique_ptr<ChildProcess> forger;
        if (row.forger) {
            forger = std::make_unique<ChildProcess>(
                Command{sandboxVar("ZELM_SANDBOX_REPO") + "/scripts/sandbox", "exec", "B", "python3",
                        sandboxVar("ZELM_SANDBOX_REPO") + "/tests/integration/widearea/forger.py",
                        "198.18.0.3", sandboxVar("ZELM_SANDBOX_ADDR_B"), "2"});
            ASSERT_TRUE(forger->nextEvent().value("ready", false));
            ASSERT_TRUE(sandboxCommand({"dns", "resolver", "198.18.0.3"}));
        }
        std::thread stop([&] {
            if (row.dnsStopMs <= 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(row.dnsStopMs));
            sandboxCommand({"dns", "stop"});
        });
        const auto begin = Clock::now();
        Outcome outcome;
        {
            CoutCapture out;
            outcome = run(row);
            outcome.line = out.text();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        stop.join();
        std::printf("widearea | %s | %s %s | %d | %zu found | %.2f s\n", row.what, row.first.c_str(),
                    row.second.c_str(), outcome.code, outcome.found.size(), seconds);
        Names expected = row.expected;
        if (row.op == Op::Lookup) expected = {sandboxVar(row.expected.front())};
        EXPECT_EQ(outcome.found, expected);
        EXPECT_EQ(outcome.code, row.code == kNothing ? nothing : row.code);
        EXPECT_NE(outcome.line.find(row.printed), std::string::npos) << outcome.line;
        if (row.op == Op::Browse) {
            EXPECT_GE(seconds, kBrowseMs / 1000.0);
            EXPECT_LT(seconds, kBrowseMs / 1000.0 + 0.5);
        } else {
            EXPECT_LT(seconds, 1.0);
        }
        if (forger) {
            const nlohmann::json forged = forger->nextEvent();
            std::printf("widearea | forged | %s\n", forged.dump().c_str());
            ASSERT_TRUE(sandboxCommand({"dns", "resolver"}));
            for (const char* kind : {"wrong id", "wrong question", "wrong source", "true"})
                EXPECT_GE(forged["forged"].value(kind, 0), 1) << kind;
        }
        if (row.dnsStopMs > 0) {
            ASSERT_TRUE(sandboxCommand({"dns", "start"}));
        }
    }
    // As in RegistrationTest.cpp: the event thread ends before exit.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}

}  // namespace

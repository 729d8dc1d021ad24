// Discovery beyond the local link, as a host sees it through the plug-in:
// avahi-daemon on host A asks the DNS server on host B (scripts/sandbox up
// --dns) for the zone scripts/lib/zelm.test.zone. One table per operation;
// every row prints a "widearea |" line with what it measured, which README
// and docs/faults.md record.

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
constexpr unsigned kBrowseMs = 1000;

double secondsSince(Clock::time_point begin) {
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

// Components made as a host makes them: the built plug-in, loaded once and
// kept loaded, its factory, one component per operation.
template <typename Interface>
Zelm::Tool::Component<Interface> make() {
    static const Zelm::Tool::Plugin plugin(ZELM_PLUGIN_FILE);
    return plugin.create<Interface>();
}

struct Browsed {
    int code = 0;
    std::vector<std::string> names;  // sorted; every entry's domain and type checked
    double seconds = 0;
};

Browsed browse(const std::string& type, const std::string& domain) {
    Browsed browsed;
    auto component = make<Zelm::MDNS::BrowseInterface>();
    const auto begin = Clock::now();
    browsed.code =
        static_cast<int>(component->browseService(kBrowseMs, type.c_str(), domain.c_str(), 0, 0, {}).code());
    browsed.seconds = secondsSince(begin);
    for (const Zelm::MDNS::Info& info : component->getInfo()) {
        EXPECT_EQ(info.regtype + info.replyDomain, type + "." + domain) << info.serviceName;
        browsed.names.push_back(info.serviceName);
    }
    std::sort(browsed.names.begin(), browsed.names.end());
    return browsed;
}

struct BrowseRow {
    const char* what;
    const char* type;
    const char* domain;
    std::vector<std::string> names;  // exactly these, sorted, in the zone's case; none: nothing found
    std::vector<Command> before;     // sandbox commands before the browse
    int dnsStopMs;                   // > 0: the DNS server stops this far into the browse
};

const std::vector<std::string> kWeb = {"Zelm Alpha", "Zelm Küche Süd 2"};
const std::vector<Command> kServerAbsent = {{"dns", "stop"}, {"daemon", "stop"}, {"daemon", "start"}};

const BrowseRow kBrowseRows[] = {
    {"the zone's instances", "_zelmweb._tcp", "zelm.test.", kWeb, {}, 0},
    {"the zone's instances", "_zelmprint._tcp", "zelm.test.", {"Zelm Empty"}, {}, 0},
    {"a domain in the zone without DNS-SD records", "_zelmweb._tcp", "plain.zelm.test.", {}, {}, 0},
    {"a domain the server has no zone for", "_zelmweb._tcp", "nowhere.test.", {}, {}, 0},
    // Found before the stop; the daemon reports no departure for them.
    {"server stopped 0.3 s into the browse", "_zelmweb._tcp", "zelm.test.", kWeb, {}, 300},
    // A daemon started afresh has nothing of the zone in its cache.
    {"server absent", "_zelmprint._tcp", "zelm.test.", {}, kServerAbsent, 0},
    {"server back", "_zelmprint._tcp", "zelm.test.", {"Zelm Empty"}, {}, 0},
};

TEST(WideArea, BrowseFindsExactlyTheZonesInstancesOrNothingAtItsTimeOut) {
    for (const BrowseRow& row : kBrowseRows) {
        SCOPED_TRACE(std::string(row.what) + " / " + row.type + " in " + row.domain);
        for (const Command& command : row.before) ASSERT_TRUE(sandboxCommand(command));
        // What a browse that finds nothing returns: one in local. that nobody answers.
        auto nothing = std::async(std::launch::async, [&] {
            return row.names.empty() ? browse("_zelmnobody._tcp", "local.") : Browsed{};
        });
        std::thread stop([&] {
            if (row.dnsStopMs <= 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(row.dnsStopMs));
            sandboxCommand({"dns", "stop"});
        });
        const Browsed browsed = browse(row.type, row.domain);
        stop.join();
        const Browsed reference = nothing.get();
        std::printf("widearea | browse | %s | %s.%s | %d | %zu found | %.2f s\n", row.what, row.type,
                    row.domain, browsed.code, browsed.names.size(), browsed.seconds);
        EXPECT_EQ(browsed.names, row.names);
        EXPECT_EQ(browsed.code, row.names.empty() ? reference.code : 0);
        EXPECT_GE(browsed.seconds, kBrowseMs / 1000.0);
        EXPECT_LT(browsed.seconds, kBrowseMs / 1000.0 + 0.5);
        if (row.dnsStopMs > 0 || !row.before.empty()) {
            ASSERT_TRUE(sandboxCommand({"dns", "start"}));
        }
    }
}

struct ResolveRow {
    const char* name;
    const char* type;
    const char* host;
    unsigned short port;
    std::string txt;  // the TXT record's wire bytes, in the zone's order
};

const ResolveRow kResolveRows[] = {
    {"Zelm Alpha", "_zelmweb._tcp", "zelm-host-b.zelm.test.", 8080, "\013path=/alpha\010bin=\000\001\377\n"s},
    {"Zelm Küche Süd 2", "_zelmweb._tcp", "zelm-host-b.zelm.test.", 8081, "\013room=Küche"s},
    {"Zelm Empty", "_zelmprint._tcp", "zelm-host-a.zelm.test.", 631, "\005note=\004flag"s},
};

TEST(WideArea, ResolveReturnsTheZonesHostPortAndTxtBytes) {
    for (const ResolveRow& row : kResolveRows) {
        SCOPED_TRACE(row.name);
        auto resolve = make<Zelm::MDNS::ResolveInterface>();
        const auto begin = Clock::now();
        const Zelm::Error result = resolve->resolveService(row.name, row.type, "zelm.test.", 0, 0);
        std::printf("widearea | resolve | %s | %d | %s:%u | %zu TXT bytes | %.2f s\n", row.name,
                    static_cast<int>(result.code()), resolve->getHosttarget().c_str(), resolve->getPort(),
                    resolve->getTxtRecord().size(), secondsSince(begin));
        EXPECT_TRUE(result.ok()) << result.code();
        EXPECT_EQ(resolve->getHosttarget(), row.host);
        EXPECT_EQ(resolve->getPort(), row.port);
        EXPECT_EQ(resolve->getTxtRecord(), row.txt);
    }
}

struct LookupRow {
    const char* host;
    unsigned int protocol;
    const char* addressVariable;
};

const LookupRow kLookupRows[] = {
    {"zelm-host-b.zelm.test.", kDNSServiceProtocol_IPv4, "ZELM_SANDBOX_ADDR_B"},
    {"zelm-host-b.zelm.test.", kDNSServiceProtocol_IPv6, "ZELM_SANDBOX_ADDR6_B"},
    {"zelm-host-a.zelm.test.", kDNSServiceProtocol_IPv4, "ZELM_SANDBOX_ADDR_A"},
    {"zelm-host-a.zelm.test.", kDNSServiceProtocol_IPv6, "ZELM_SANDBOX_ADDR6_A"},
};

TEST(WideArea, AddressLookupFindsAZoneHostsV4AndV6Address) {
    for (const LookupRow& row : kLookupRows) {
        SCOPED_TRACE(std::string(row.host) + " " + row.addressVariable);
        auto lookup = make<Zelm::MDNS::AddressInfoInterface>();
        const auto begin = Clock::now();
        const Zelm::Error result = lookup->getAddressInfo(row.host, row.protocol, 0, 0);
        std::printf("widearea | lookup | %s | %u | %d | %s | %.2f s\n", row.host, row.protocol,
                    static_cast<int>(result.code()), lookup->getSocketAddressAsString().c_str(),
                    secondsSince(begin));
        EXPECT_TRUE(result.ok()) << result.code();
        EXPECT_EQ(lookup->getSocketAddressAsString(), sandboxVar(row.addressVariable));
    }
}

// avahi-daemon publishes in its multicast domain only and cannot send a DNS
// update: the start call fails at once, and the component stays idle.
TEST(WideArea, RegistrationInTheUnicastDomainFailsAtOnce) {
    auto registration = make<Zelm::MDNS::ServiceRegisterInterface>();
    const std::string name = uniqueName("Zelm Wide");
    CoutCapture out;
    const auto begin = Clock::now();
    const Zelm::Error result = registration->doServiceRegister("_zelmweb._tcp", 9000, 0, nullptr,
                                                               name.c_str(), "zelm.test.", nullptr, 0, 0);
    const double seconds = secondsSince(begin);
    std::printf("widearea | register | %d, %d | %s | %.2f s\n", static_cast<int>(result.code()),
                static_cast<int>(result.category()), out.text().c_str(), seconds);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(static_cast<int>(result.code()), kDNSServiceErr_Unsupported);  // the daemon's "not supported"
    EXPECT_EQ(result.category(), Zelm::Error::Service);
    EXPECT_FALSE(registration->isInitialized());
    EXPECT_LT(seconds, 1.0);
}

}  // namespace

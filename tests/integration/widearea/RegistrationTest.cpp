// Registration beyond the local link at the dns_sd.h level: DNS UPDATE to
// the DNS server on host B (scripts/sandbox up --dns), signed with the
// sandbox's key, seen by dig on host B and by another process's browse.
// One table of steps on one zone; each prints a "widearea-register |" line.

#include "Sandbox.h"

#include <arpa/inet.h>
#include <dns_sd.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using namespace Zelm::Test;
using Clock = std::chrono::steady_clock;

const std::string kType = "_zelmreg._tcp";

// What a shell command prints.
std::string output(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (char buffer[512]; pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr;)
        out += buffer;
    if (pipe != nullptr) ::pclose(pipe);
    return out;
}

std::string dig(const std::string& type, const std::string& name) {
    return output(sandboxVar("ZELM_SANDBOX_REPO") + "/scripts/sandbox exec B dig +short @" +
                  sandboxVar("ZELM_SANDBOX_ADDR_B") + " " + type + " '" + name + "' 2>&1");
}

std::string instance(const std::string& name) {
    std::string escaped;
    for (char c : name) escaped += c == ' ' ? std::string("\\032") : std::string(1, c);
    return escaped + "." + kType + ".zelm.test.";
}

// dig's answer holds `text` (or, with `gone`, no longer does) within 2 s.
bool digSees(const std::string& type, const std::string& name, const std::string& text, bool gone = false) {
    for (const auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
        if ((dig(type, name).find(text) == std::string::npos) == gone) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

struct Registered {
    DNSServiceRef ref = nullptr;
    DNSServiceErrorType code = 1;
    DNSServiceFlags flags = 0;
    std::string name;
};

void replied(DNSServiceRef, DNSServiceFlags flags, DNSServiceErrorType code, const char* name, const char*,
             const char*, void* context) {
    auto* reg = static_cast<Registered*>(context);
    reg->flags = flags, reg->code = code, reg->name = name;
}

// DNSServiceRegister, and its first reply when it succeeded; the seconds it took.
double registerService(Registered& reg, const std::string& name, DNSServiceFlags flags = 0) {
    const auto begin = Clock::now();
    const std::string txt = "\003v=1";
    reg.code = DNSServiceRegister(&reg.ref, flags, 0, name.c_str(), kType.c_str(), "zelm.test.", nullptr,
                                  htons(9000), static_cast<uint16_t>(txt.size()), txt.data(), replied, &reg);
    if (reg.code == kDNSServiceErr_NoError) {
        EXPECT_EQ(DNSServiceProcessResult(reg.ref), kDNSServiceErr_NoError);
    }
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

// Another process (zelm-mdns, through the plug-in) browses the zone and lists `name`.
bool anotherProcessBrowses(const std::string& name) {
    return output(std::string(ZELM_MDNS_TOOL) + " browse " + kType + " --domain zelm.test. --timeout 1000")
               .find("\"" + name + "\"") != std::string::npos;
}

TEST(WideAreaRegistration, UpdatesReachTheZoneAndEveryFailureHasItsCode) {
    const std::string config = sandboxVar("ZELM_SANDBOX_DIR") + "/dns/dnssd-update.conf";
    ASSERT_EQ(::setenv("ZELM_DNSSD_UPDATE_CONFIG", config.c_str(), 1), 0);
    const std::string name = uniqueName("Zelm Reg");
    const std::string host =
        sandboxVar("ZELM_SANDBOX_HOSTNAME_A") + ".zelm.test.";  // the configured host-name
    Registered first, second, kept, refused, absent, back;

    double took = registerService(first, name);
    std::printf("widearea-register | registration to confirmation | %.3f s\n", took);
    EXPECT_EQ(first.code, kDNSServiceErr_NoError);
    EXPECT_EQ(first.flags, kDNSServiceFlagsAdd);
    EXPECT_EQ(first.name, name);
    EXPECT_TRUE(digSees("SRV", instance(name), "9000 " + host));
    EXPECT_TRUE(digSees("PTR", kType + ".zelm.test.", instance(name)));
    EXPECT_TRUE(digSees("A", host, sandboxVar("ZELM_SANDBOX_ADDR_A")));
    EXPECT_TRUE(anotherProcessBrowses(name)) << "a second process's browse";

    registerService(second, name);
    EXPECT_EQ(second.code, kDNSServiceErr_NoError);
    EXPECT_EQ(second.name, name + " #2") << "renamed after the conflict";
    registerService(kept, name, kDNSServiceFlagsNoAutoRename);
    EXPECT_EQ(kept.code, kDNSServiceErr_NameConflict);

    const std::string v2 = "\003v=2";
    EXPECT_EQ(DNSServiceUpdateRecord(first.ref, nullptr, 0, 4, v2.data(), 0), kDNSServiceErr_NoError);
    EXPECT_TRUE(digSees("TXT", instance(name), "\"v=2\"")) << "the TXT update";

    DNSServiceRefDeallocate(first.ref);
    EXPECT_TRUE(digSees("SRV", instance(name), "9000", true)) << "withdrawn";
    EXPECT_TRUE(digSees("PTR", kType + ".zelm.test.", instance(name), true));
    EXPECT_TRUE(digSees("A", host, sandboxVar("ZELM_SANDBOX_ADDR_A"))) << "still used by the renamed one";
    DNSServiceRefDeallocate(second.ref);
    EXPECT_TRUE(digSees("SRV", instance(name + " #2"), "9000", true));
    EXPECT_TRUE(digSees("A", host, sandboxVar("ZELM_SANDBOX_ADDR_A"), true)) << "its last user gone";

    const std::string badConfig = sandboxVar("ZELM_SANDBOX_DIR") + "/dns/bad-key.conf";
    std::ifstream good(config);
    std::string text((std::istreambuf_iterator<char>(good)), {});
    text.replace(text.find("secret = ") + 9, 4, "AAAA");
    std::ofstream(badConfig) << text;
    ::chmod(badConfig.c_str(), 0600);
    ::setenv("ZELM_DNSSD_UPDATE_CONFIG", badConfig.c_str(), 1);
    registerService(refused, uniqueName("Zelm Refused"));
    EXPECT_EQ(refused.code, kDNSServiceErr_NoAuth) << "bad key";
    ::setenv("ZELM_DNSSD_UPDATE_CONFIG", config.c_str(), 1);

    ASSERT_TRUE(sandboxCommand({"dns", "stop"}));
    took = registerService(absent, uniqueName("Zelm Absent"));
    std::printf("widearea-register | server stopped | %d | %.2f s\n", absent.code, took);
    EXPECT_EQ(absent.code, kDNSServiceErr_Timeout);
    EXPECT_LT(took, 6.0);
    ASSERT_TRUE(sandboxCommand({"dns", "start"}));
    registerService(back, uniqueName("Zelm Back"));
    EXPECT_EQ(back.code, kDNSServiceErr_NoError) << "server back";
    DNSServiceRefDeallocate(back.ref);
    // The backend's event thread ends after its 1 s grace period. Joined at
    // exit instead, after OpenSSL's own clean-up, it would leave OpenSSL's
    // state for that thread to LeakSanitizer (docs/faults.md).
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}

}  // namespace

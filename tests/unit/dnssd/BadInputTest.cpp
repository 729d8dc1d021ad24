// Each start call, and an update, refuses bad input at once, before anything
// reaches the daemon; input just inside the limits gets as far as the missing
// bus. The bus address points nowhere, so nothing here can reach a daemon
// of the machine.

#include "AddressInfo_impl.h"
#include "Browse_impl.h"
#include "Resolve_impl.h"
#include "ServiceRegister_impl.h"

#include "TestSupport.h"

#include <dns_sd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

class NoBusEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zelm-test-bus", 1); }
};
const auto* const kNoBus = ::testing::AddGlobalTestEnvironment(new NoBusEnvironment);

using namespace Zelm::MDNS::Apple;

constexpr unsigned kNoInterface = 999;
constexpr DNSServiceErrorType kBad = kDNSServiceErr_BadParam;
constexpr DNSServiceErrorType kNoSuchInterface = kDNSServiceErr_BadInterfaceIndex;
// Accepted input goes on to the daemon, which is not there.
constexpr DNSServiceErrorType kAccepted = kDNSServiceErr_ServiceNotRunning;
const std::string kLongLabel(64, 'a');
const std::string kLongHost = std::string(63, 'h') + '.' + std::string(63, 'h') + '.' + std::string(63, 'h') +
                              '.' + std::string(63, 'h') + ".local.";  // 261 bytes

Zelm::Error browse(const char* type, const char* domain = "local.", unsigned interface = 0) {
    // A browse lasts its time-out even when it fails to start.
    return Browse_impl().browseService(10, type, domain, interface, 0, [](const Zelm::MDNS::Info&) {});
}
Zelm::Error resolve(const char* name, const char* type = "_http._tcp", const char* domain = "local.",
                    unsigned interface = 0) {
    return Resolve_impl().resolveService(name, type, domain, interface, 0);
}
Zelm::Error lookup(const char* host, unsigned interface = 0, unsigned protocol = 0) {
    return AddressInfo_impl().getAddressInfo(host, protocol, interface, 0);
}
// Zero bytes are as many empty strings: valid TXT wire data.
std::string emptyStrings(std::size_t bytes) { return std::string(bytes, '\0'); }
// `bytes` bytes whose one length byte announces one byte more than follow.
std::string runsPastItsEnd(unsigned char bytes) {
    return static_cast<char>(bytes) + std::string(bytes - 1, 'x');
}
Zelm::Error registration(const std::string& txt, const char* name = "n", const char* type = "_http._tcp",
                         const char* host = nullptr, unsigned interface = 0, unsigned flags = 0) {
    return ServiceRegister_impl(true).doServiceRegister(type, 80, static_cast<unsigned short>(txt.size()),
                                                        txt.data(), name, "local.", host, interface, flags);
}
// An update on a reference the backend never handed out: a record over the
// limit is refused before the reference is looked at, one within it for the
// reference. (A live registration needs a daemon; the sandbox suites have one.)
Zelm::Error update(std::size_t txtBytes) {
    int notAReference = 0;
    const std::string txt = emptyStrings(txtBytes);
    const DNSServiceErrorType code =
        DNSServiceUpdateRecord(reinterpret_cast<DNSServiceRef>(&notAReference), nullptr, 0,
                               static_cast<uint16_t>(txt.size()), txt.data(), 0);
    return Zelm::Error(static_cast<unsigned>(code), Zelm::Error::Service, "");
}

TEST(BadInput, EveryStartCallRefusesItAtOnce) {
    const std::string one = emptyStrings(1);
    const std::pair<std::function<Zelm::Error()>, DNSServiceErrorType> rows[] = {
        {[] { return browse("_ht\xfftp._tcp"); }, kBad},                  // non-UTF-8 type
        {[] { return browse("_http._tcp", "\xc0\xaf.local."); }, kBad},   // overlong UTF-8 domain
        {[] { return browse("_http._xyz"); }, kBad},                      // unknown protocol
        {[] { return browse("_my_svc._tcp", "local.", 1); }, kAccepted},  // browsed as the daemon does
        {[] { return browse("_SERVICES._DNS-SD._UDP.", "local.", 1); }, kAccepted},  // in any case
        {[] { return browse("_http._tcp", "local.", kNoInterface); }, kNoSuchInterface},
        {[] { return browse("_http._tcp", "local.", kDNSServiceInterfaceIndexLocalOnly); },
         kDNSServiceErr_Unsupported},
        {[] { return browse("_printer._sub._http._tcp", "local.", 1); }, kAccepted},  // subtype as one name
        {[] { return resolve(nullptr); }, kBad},                                      // no name
        {[] { return resolve("Caf\xc3"); }, kBad},                                    // non-UTF-8 name
        {[] { return resolve(kLongLabel.c_str()); }, kBad},                           // 64-byte name
        {[] { return resolve("n", "_http._tcp", "\xed\xa0\x80."); }, kBad},           // surrogate in domain
        {[] { return resolve("n", "_http._tcp", "", kNoInterface); }, kNoSuchInterface},
        {[] { return lookup("h\xff.local."); }, kBad},                          // non-UTF-8 host
        {[] { return lookup((kLongLabel + ".local.").c_str()); }, kBad},        // 64-byte label
        {[] { return lookup(kLongHost.c_str()); }, kBad},                       // 261-byte name
        {[] { return lookup("h\\256.local."); }, kBad},                         // bad escape
        {[] { return lookup("."); }, kBad},                                     // the root
        {[] { return lookup("h.local.", 0, kDNSServiceProtocol_UDP); }, kBad},  // UDP: no address protocol
        {[] { return lookup("a\\.b\\032c.local."); }, kAccepted},               // fine, with escapes
        {[] { return lookup("h.local.", kNoInterface); }, kNoSuchInterface},
        {[&] { return registration(one, "\xff"); }, kBad},                            // non-UTF-8 name
        {[&] { return registration(one, "n", "_http._tcp", "\xfe.local."); }, kBad},  // non-UTF-8 host
        {[&] { return registration(one, "n", "_abcdefghijklmnop._tcp"); }, kBad},     // 16 characters
        {[&] { return registration(one, "n", "_http._tcp", nullptr, kNoInterface); }, kNoSuchInterface},
        {[&] { return registration(one, nullptr, "_http._tcp", nullptr, 0, kDNSServiceFlagsNoAutoRename); },
         kBad},  // no name, no renaming
        {[] { return registration(emptyStrings(1176)); }, kBad},
        {[] { return registration(emptyStrings(1175)); }, kAccepted},
        // The component pads a record below 128 bytes with zeros, which ends
        // the string that ran past its end; from 128 bytes up nothing does.
        {[] { return registration(runsPastItsEnd(127)); }, kAccepted},
        {[] { return registration(runsPastItsEnd(128)); }, kBad},
        {[] { return registration(emptyStrings(999) + "\x05xyz"); }, kBad},  // the last string runs past
        {[] { return update(1176); }, kBad},
        {[] { return update(1175); }, kDNSServiceErr_BadReference},
    };
    Zelm::Test::CoutCapture quiet;
    for (size_t row = 0; row < std::size(rows); ++row)
        EXPECT_EQ(rows[row].first().code(), static_cast<unsigned>(rows[row].second)) << "row " << row;
}

}  // namespace

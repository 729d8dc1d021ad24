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

using Zelm::MDNS::Apple::AddressInfo_impl;
using Zelm::MDNS::Apple::Browse_impl;
using Zelm::MDNS::Apple::Resolve_impl;
using Zelm::MDNS::Apple::ServiceRegister_impl;

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
Zelm::Error resolve(const char* name, const char* type, const char* domain = "local.",
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
Zelm::Error registration(const char* name, const char* type, const char* host = nullptr,
                         unsigned interface = 0, const std::string& txt = emptyStrings(1),
                         unsigned flags = 0) {
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
    struct Row {
        const char* what;
        std::function<Zelm::Error()> start;
        DNSServiceErrorType expected;
    };
    const Row rows[] = {
        {"browse: non-UTF-8 type", [] { return browse("_ht\xfftp._tcp"); }, kBad},
        {"browse: overlong UTF-8 domain", [] { return browse("_http._tcp", "\xc0\xaf.local."); }, kBad},
        {"browse: unknown protocol", [] { return browse("_http._xyz"); }, kBad},
        {"browse: 16-character service", [] { return browse("_abcdefghijklmnop._tcp"); }, kBad},
        {"browse: no such interface", [] { return browse("_http._tcp", "local.", kNoInterface); },
         kNoSuchInterface},
        {"browse: local-only interface",
         [] { return browse("_http._tcp", "local.", kDNSServiceInterfaceIndexLocalOnly); },
         kDNSServiceErr_Unsupported},
        {"browse: fine, on loopback", [] { return browse("_http._tcp,_printer", "local.", 1); }, kAccepted},
        {"browse: subtype as one name", [] { return browse("_printer._sub._http._tcp", "local.", 1); },
         kAccepted},
        {"browse: _sub without a subtype", [] { return browse("_sub._http._tcp"); }, kBad},
        {"browse: two _sub labels", [] { return browse("_a._sub._sub._http._tcp"); }, kBad},
        {"resolve: no name", [] { return resolve(nullptr, "_http._tcp"); }, kBad},
        {"resolve: non-UTF-8 name", [] { return resolve("Caf\xc3", "_http._tcp"); }, kBad},
        {"resolve: 64-byte name", [] { return resolve(kLongLabel.c_str(), "_http._tcp"); }, kBad},
        {"resolve: surrogate in domain", [] { return resolve("n", "_http._tcp", "\xed\xa0\x80."); }, kBad},
        {"resolve: no such interface", [] { return resolve("n", "_http._tcp", "", kNoInterface); },
         kNoSuchInterface},
        {"lookup: non-UTF-8 host", [] { return lookup("h\xff.local."); }, kBad},
        {"lookup: 64-byte label", [] { return lookup((kLongLabel + ".local.").c_str()); }, kBad},
        {"lookup: 261-byte name", [] { return lookup(kLongHost.c_str()); }, kBad},
        {"lookup: bad escape", [] { return lookup("h\\256.local."); }, kBad},
        {"lookup: the root", [] { return lookup("."); }, kBad},
        {"lookup: UDP is no address protocol", [] { return lookup("h.local.", 0, kDNSServiceProtocol_UDP); },
         kBad},
        {"lookup: fine, with escapes", [] { return lookup("a\\.b\\032c.local."); }, kAccepted},
        {"lookup: no such interface", [] { return lookup("h.local.", kNoInterface); }, kNoSuchInterface},
        {"register: non-UTF-8 name", [] { return registration("\xff", "_http._tcp"); }, kBad},
        {"register: non-UTF-8 host", [] { return registration("n", "_http._tcp", "\xfe.local."); }, kBad},
        {"register: 37-character type",
         [] { return registration("n", "_abcdefghijklmnopqrstuvwxyz0123456789._tcp"); }, kBad},
        {"register: no such interface", [] { return registration("n", "_http._tcp", nullptr, kNoInterface); },
         kNoSuchInterface},
        {"register: no name, no renaming",
         [] {
             return registration(nullptr, "_http._tcp", nullptr, 0, emptyStrings(1),
                                 kDNSServiceFlagsNoAutoRename);
         },
         kBad},
        {"register: TXT of 1176 bytes",
         [] { return registration("n", "_http._tcp", nullptr, 0, emptyStrings(1176)); }, kBad},
        {"register: TXT of 1175 bytes",
         [] { return registration("n", "_http._tcp", nullptr, 0, emptyStrings(1175)); }, kAccepted},
        // The component pads a record below 128 bytes with zeros, which ends
        // the string that ran past its end; from 128 bytes up nothing does.
        {"register: 127-byte TXT running past its end, padded whole",
         [] { return registration("n", "_http._tcp", nullptr, 0, runsPastItsEnd(127)); }, kAccepted},
        {"register: 128-byte TXT running past its end",
         [] { return registration("n", "_http._tcp", nullptr, 0, runsPastItsEnd(128)); }, kBad},
        {"register: 1003-byte TXT whose last string runs past its end",
         [] { return registration("n", "_http._tcp", nullptr, 0, emptyStrings(999) + "\x05xyz"); }, kBad},
        {"update: TXT of 1176 bytes", [] { return update(1176); }, kBad},
        {"update: TXT of 1175 bytes", [] { return update(1175); }, kDNSServiceErr_BadReference},
    };
    Zelm::Test::CoutCapture quiet;
    for (const Row& row : rows) {
        EXPECT_EQ(row.start().code(), static_cast<unsigned>(row.expected)) << row.what;
    }
}

}  // namespace

// The API's answers that need no daemon: bad arguments, unknown references,
// and a missing D-Bus. The bus address points nowhere, so nothing here can
// reach a daemon of the machine.

#include <dns_sd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

class NoBusEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zelm-test-bus", 1); }
};
const auto* const kNoBus = ::testing::AddGlobalTestEnvironment(new NoBusEnvironment);

// Converts to any of the reply function types.
constexpr auto none = [](auto...) {};

TEST(ApiArguments, StartCallsRefuseBadArguments) {
    DNSServiceRef ref = nullptr;
    EXPECT_EQ(DNSServiceBrowse(nullptr, 0, 0, "_http._tcp", nullptr, none, nullptr), kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceBrowse(&ref, 0, 0, nullptr, nullptr, none, nullptr), kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceBrowse(&ref, 0, 0, "_http._tcp", nullptr, nullptr, nullptr), kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceResolve(&ref, 0, 0, nullptr, "_http._tcp", nullptr, none, nullptr),
              kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceGetAddrInfo(&ref, 0, 0, kDNSServiceProtocol_UDP, "h.local.", none, nullptr),
              kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceGetAddrInfo(&ref, 0, 0, 0, ".", none, nullptr), kDNSServiceErr_BadParam);
    const char truncatedTxt[] =
        "\x05"
        "ab";
    EXPECT_EQ(DNSServiceRegister(&ref, 0, 0, "n", "_http._tcp", nullptr, nullptr, 0, 3, truncatedTxt, none,
                                 nullptr),
              kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceRegister(&ref, kDNSServiceFlagsNoAutoRename, 0, nullptr, "_http._tcp", nullptr,
                                 nullptr, 0, 0, nullptr, none, nullptr),
              kDNSServiceErr_BadParam);
    EXPECT_EQ(
        DNSServiceBrowse(&ref, 0, kDNSServiceInterfaceIndexLocalOnly, "_http._tcp", nullptr, none, nullptr),
        kDNSServiceErr_Unsupported);
    EXPECT_EQ(ref, nullptr);
}

TEST(ApiArguments, UnknownReferencesAreRefusedWithoutBeingTouched) {
    int unrelated = 0;
    auto* bogus = reinterpret_cast<DNSServiceRef>(&unrelated);
    EXPECT_EQ(DNSServiceProcessResult(nullptr), kDNSServiceErr_BadParam);
    EXPECT_EQ(DNSServiceProcessResult(bogus), kDNSServiceErr_BadReference);
    EXPECT_EQ(DNSServiceRefSockFD(bogus), -1);
    EXPECT_EQ(DNSServiceUpdateRecord(bogus, nullptr, 0, 1, "", 0), kDNSServiceErr_BadReference);
    EXPECT_EQ(DNSServiceUpdateRecord(nullptr, nullptr, 0, 1, "", 0), kDNSServiceErr_BadParam);
    DNSServiceRefDeallocate(bogus);
    DNSServiceRefDeallocate(nullptr);
}

TEST(ApiArguments, WithoutABusStartCallsFailFastAsNotRunning) {
    DNSServiceRef ref = nullptr;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(DNSServiceBrowse(&ref, 0, 0, "_http._tcp", nullptr, none, nullptr),
              kDNSServiceErr_ServiceNotRunning);
    EXPECT_EQ(DNSServiceResolve(&ref, 0, 0, "n", "_http._tcp", nullptr, none, nullptr),
              kDNSServiceErr_ServiceNotRunning);
    EXPECT_EQ(DNSServiceGetAddrInfo(&ref, 0, 0, 0, "h.local.", none, nullptr),
              kDNSServiceErr_ServiceNotRunning);
    EXPECT_EQ(
        DNSServiceRegister(&ref, 0, 0, "n", "_http._tcp", nullptr, nullptr, 0, 0, nullptr, none, nullptr),
        kDNSServiceErr_ServiceNotRunning);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 4s);
    EXPECT_EQ(ref, nullptr);
}

}  // namespace

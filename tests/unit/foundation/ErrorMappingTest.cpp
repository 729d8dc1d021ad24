#include "engine/ErrorLine.h"
#include "engine/ErrorMapping.h"

#include <dns_sd.h>
#include <zelm/mdns/MDNSError.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using Zelm::MDNS::Apple::Util::mapMdnsErr;

TEST(ErrorMapping, EdgesOfTheTable) {
    EXPECT_EQ(mapMdnsErr(0), "");
    EXPECT_EQ(mapMdnsErr(kDNSServiceErr_Unknown), "Unknown");
    EXPECT_EQ(mapMdnsErr(-65546), "Unknown");
    EXPECT_EQ(mapMdnsErr(kDNSServiceErr_NoSuchName), "MDNS no such name.");
    EXPECT_EQ(mapMdnsErr(kDNSServiceErr_PollingMode), "MDNS Polling mode.");
    EXPECT_EQ(mapMdnsErr(kDNSServiceErr_Timeout), "Unknown");
    for (int code : {1, -1, 65538, INT32_MIN, INT32_MAX}) EXPECT_EQ(mapMdnsErr(code), "Unknown") << code;
}

TEST(ErrorMapping, EveryEntry) {
    const std::pair<int, const char*> table[] = {
        {-65538, "MDNS no such name."},
        {-65539, "MDNS out of memory."},
        {-65540, "MDNS Bad parameter."},
        {-65541, "MDNS Bad reference."},
        {-65542, "MDNS Bad state."},
        {-65543, "MDNS Bad flags."},
        {-65544, "MDNS unsupported."},
        {-65545, "MDNS not initialized."},
        {-65546, "Unknown"},
        {-65547, "MDNS already registered."},
        {-65548, "MDNS name conflict."},
        {-65549, "MDNS an invalid index or character was passed."},
        {-65550, "MDNS firewall."},
        {-65551, "MDNS client library incompatible with daemon."},
        {-65552, "MDNS bad interface index."},
        {-65553, "MDNS refused."},
        {-65554, "MDNS no such record."},
        {-65555, "MDNS no authorization."},
        {-65556, "MDNS no such key."},
        {-65557, "MDNS NAT traversal."},
        {-65558, "MDNS more than one NAT gateway between source and destination."},
        {-65559, "MDNS bad time."},
        {-65560, "MDNS bad signature."},
        {-65561, "MDNS bad key."},
        {-65562, "MDNS Transient."},
        {-65563, "MDNS background daemon not running."},
        {-65564, "MDNS The NAT gateway doesn't support PCP, NAT-PMP or UPnP."},
        {-65565, "MDNS NAT supports NAT-PMP or UPnP but it's disabled by the administrator"},
        {-65566, "MDNS No router currently configured (probably no network connectivity)"},
        {-65567, "MDNS Polling mode."},
    };
    for (const auto& [code, text] : table) EXPECT_EQ(mapMdnsErr(code), text) << code;
}

TEST(ErrorLine, FormatWithAndWithoutPrefix) {
    zelm_test::CoutCapture capture;
    Zelm::MDNS::Apple::Util::writeErrorLine(kDNSServiceErr_NoSuchName);
    Zelm::MDNS::Apple::Util::writeErrorLine(kDNSServiceErr_BadParam, "Prefix:");
    Zelm::MDNS::Apple::Util::writeErrorLine(kDNSServiceErr_Timeout);
    EXPECT_EQ(capture.text(),
              "mDNS error: -65538: MDNS no such name.\n"
              "Prefix:mDNS error: -65540: MDNS Bad parameter.\n"
              "mDNS error: -65568: Unknown\n");
}

TEST(Errors, FailureCodesAreUnsignedAndTheBusyErrorIsDistinct) {
    const Zelm::Error failure(static_cast<unsigned int>(kDNSServiceErr_NotInitialized), Zelm::Error::Service,
                              "");
    EXPECT_EQ(failure.code(), 4294901751u);
    EXPECT_EQ(failure.category(), 2);
    EXPECT_TRUE(failure.message().empty());
    EXPECT_TRUE(Zelm::Error().ok());

    const Zelm::Error busy = Zelm::MDNS::BrowseOperationAlreadyInProgress();
    EXPECT_FALSE(busy.ok());
    EXPECT_NE(busy.category(), Zelm::Error::Discovery);
    EXPECT_NE(busy.category(), Zelm::Error::Service);
    const unsigned int lowestDnsSd = static_cast<unsigned int>(kDNSServiceErr_Timeout);
    EXPECT_TRUE(busy.code() < lowestDnsSd);
}

}  // namespace

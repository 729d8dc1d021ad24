#include "engine/ErrorLine.h"
#include "engine/ErrorMapping.h"

#include <dns_sd.h>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using Zelm::MDNS::Apple::Util::mapMdnsErr;

TEST(ErrorMapping, EveryEntryAndTheEdgesOfTheTable) {
    // The texts of -65538 downwards; -65546 has none of its own.
    const char* const texts[] = {"MDNS no such name.",
                                 "MDNS out of memory.",
                                 "MDNS Bad parameter.",
                                 "MDNS Bad reference.",
                                 "MDNS Bad state.",
                                 "MDNS Bad flags.",
                                 "MDNS unsupported.",
                                 "MDNS not initialized.",
                                 "Unknown",
                                 "MDNS already registered.",
                                 "MDNS name conflict.",
                                 "MDNS an invalid index or character was passed.",
                                 "MDNS firewall.",
                                 "MDNS client library incompatible with daemon.",
                                 "MDNS bad interface index.",
                                 "MDNS refused.",
                                 "MDNS no such record.",
                                 "MDNS no authorization.",
                                 "MDNS no such key.",
                                 "MDNS NAT traversal.",
                                 "MDNS more than one NAT gateway between source and destination.",
                                 "MDNS bad time.",
                                 "MDNS bad signature.",
                                 "MDNS bad key.",
                                 "MDNS Transient.",
                                 "MDNS background daemon not running.",
                                 "MDNS The NAT gateway doesn't support PCP, NAT-PMP or UPnP.",
                                 "MDNS NAT supports NAT-PMP or UPnP but it's disabled by the administrator",
                                 "MDNS No router currently configured (probably no network connectivity)",
                                 "MDNS Polling mode."};
    int code = kDNSServiceErr_NoSuchName;
    for (const char* text : texts) EXPECT_EQ(mapMdnsErr(code--), text) << code + 1;
    EXPECT_EQ(code + 1, kDNSServiceErr_PollingMode);

    EXPECT_EQ(mapMdnsErr(0), "");
    const int outside[] = {
        kDNSServiceErr_Unknown, kDNSServiceErr_Timeout, 1, -1, 65538, INT32_MIN, INT32_MAX};
    for (int code : outside) EXPECT_EQ(mapMdnsErr(code), "Unknown") << code;
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

}  // namespace

#include "engine/ErrorLine.h"
#include "engine/ErrorMapping.h"

#include <dns_sd.h>

#include "TestSupport.h"

namespace {

using Zelm::MDNS::Apple::Util::mapMdnsErr;

TEST(ErrorMapping, TableEdgesItsGapAndCodesOutsideIt) {
    const std::pair<int, const char*> cases[] = {
        {0, ""},
        {kDNSServiceErr_NoSuchName, "MDNS no such name."},
        {kDNSServiceErr_BadParam, "MDNS Bad parameter."},
        {-65546, "Unknown"},  // no text of its own
        {kDNSServiceErr_NameConflict, "MDNS name conflict."},
        {kDNSServiceErr_ServiceNotRunning, "MDNS background daemon not running."},
        {kDNSServiceErr_PollingMode, "MDNS Polling mode."},
        {kDNSServiceErr_PollingMode - 1, "Unknown"},
        {kDNSServiceErr_Unknown, "Unknown"},
        {1, "Unknown"},
        {INT32_MIN, "Unknown"}};
    for (const auto& [code, text] : cases) EXPECT_EQ(mapMdnsErr(code), text) << code;
}

TEST(ErrorLine, WholeFlushedLinesWithAndWithoutPrefix) {
    Zelm::Test::CoutCapture capture;
    Zelm::MDNS::Apple::Util::writeErrorLine(kDNSServiceErr_NoSuchName);
    Zelm::MDNS::Apple::Util::writeErrorLine(kDNSServiceErr_BadParam, "Prefix:");
    EXPECT_EQ(capture.text(),
              "mDNS error: -65538: MDNS no such name.\n"
              "Prefix:mDNS error: -65540: MDNS Bad parameter.\n");
}

}  // namespace

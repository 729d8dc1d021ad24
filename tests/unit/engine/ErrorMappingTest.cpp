#include "ErrorMapping.h"

#include <dns_sd.h>

#include "TestSupport.h"

namespace {

using Zelm::MDNS::Apple::Util::mapMdnsErr;

// The texts inside the table are checked in the components' error lines.
TEST(ErrorMapping, TableEdgesItsGapAndCodesOutsideIt) {
    const std::pair<int, const char*> cases[] = {{0, ""},
                                                 {kDNSServiceErr_NoSuchName, "MDNS no such name."},
                                                 {-65546, "Unknown"},  // no text of its own
                                                 {kDNSServiceErr_PollingMode, "MDNS Polling mode."},
                                                 {kDNSServiceErr_PollingMode - 1, "Unknown"},
                                                 {kDNSServiceErr_Unknown, "Unknown"},
                                                 {1, "Unknown"},
                                                 {INT32_MIN, "Unknown"}};
    for (const auto& [code, text] : cases) EXPECT_EQ(mapMdnsErr(code), text) << code;
}

}  // namespace

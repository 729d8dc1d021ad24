// The backend's name conversions, and the process's claims on service
// names. (TXT records are compared byte for byte end to end.)

#include <gtest/gtest.h>

#include "LocalServiceNames.h"
#include "ServiceNames.h"

namespace Zelm::DnsSd {
namespace {

using Strings = std::vector<std::string>;

TEST(ServiceNames, EscapesLabelsAndHandlesDotsTheDnsSdWay) {
    const std::pair<std::string, std::string> cases[] = {
        {escapeLabel("Peer Web"), "Peer\\032Web"},
        {escapeLabel("a.b\\c"), "a\\.b\\\\c"},
        {escapeLabel(std::string("\x01\x7f", 2)), "\\001\\127"},
        {fullServiceName("Peer Web", "_http._tcp", "local"), "Peer\\032Web._http._tcp.local."},
        {withTrailingDot("local"), "local."},
        {withoutTrailingDot("odd\\."), "odd\\."},
        {withoutTrailingDot("even\\\\."), "even\\\\"},
        {domainArgument("."), ""},
        {subtypeName("_printer", "_http._tcp"), "_printer._sub._http._tcp"}};
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want);

    ServiceType type;
    ASSERT_TRUE(parseServiceType("_http._tcp.,_printer,_scan.", type));
    EXPECT_EQ(type.type, "_http._tcp");
    EXPECT_EQ(type.subtypes, (Strings{"_printer", "_scan"}));
    for (const char* bad : {static_cast<const char*>(nullptr), "", "_http._tcp,"}) {
        EXPECT_FALSE(parseServiceType(bad, type));
    }
}

TEST(LocalServiceNames, OneClaimPerNameIgnoringAsciiCase) {
    ASSERT_TRUE(LocalServiceNames::claim("Printer", "_ipp._tcp", ""));
    EXPECT_FALSE(LocalServiceNames::claim("PRINTER", "_IPP._tcp", "local"));
    EXPECT_TRUE(LocalServiceNames::claim("Printer", "_ipp._tcp", "example"));
    LocalServiceNames::release("printer", "_ipp._tcp", "local");
    EXPECT_TRUE(LocalServiceNames::claim("Printer", "_ipp._tcp", ""));
    LocalServiceNames::release("Printer", "_ipp._tcp", "");
    LocalServiceNames::release("Printer", "_ipp._tcp", "example");
}

}  // namespace
}  // namespace Zelm::DnsSd

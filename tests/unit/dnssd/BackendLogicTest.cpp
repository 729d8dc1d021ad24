// The backend's pure conversions: TXT wire form, names, error codes, the
// order of Avahi string lists, and the process's claims on service names.

#include <avahi-common/error.h>
#include <gtest/gtest.h>

#include "AvahiTxt.h"
#include "ErrorCodes.h"
#include "LocalServiceNames.h"
#include "ServiceNames.h"
#include "TxtRecord.h"

namespace Zelm::DnsSd {
namespace {

using Strings = std::vector<std::string>;

TEST(TxtRecord, ParsesAndBuildsTheWireFormKeepingOrderEmptyAndBinaryStrings) {
    const std::string wire(
        "\x03"
        "a=1\x00\x02\x00\xff",
        8);
    Strings strings{"stale"};
    ASSERT_TRUE(parseTxtRecord(wire.data(), wire.size(), strings));
    EXPECT_EQ(strings, (Strings{"a=1", "", std::string("\x00\xff", 2)}));
    EXPECT_EQ(txtRecordBytes(strings), wire);
    // No strings are the one-zero-byte record; a string is cut at 255 bytes.
    ASSERT_TRUE(parseTxtRecord(nullptr, 0, strings));
    EXPECT_TRUE(strings.empty());
    EXPECT_EQ(txtRecordBytes({}), std::string(1, '\0'));
    EXPECT_EQ(txtRecordBytes({std::string(300, 'x')}).size(), 256u);
    // A length running past the end is refused and leaves nothing behind.
    strings = {"stale"};
    EXPECT_FALSE(
        parseTxtRecord("\x05"
                       "abc",
                       4, strings));
    EXPECT_TRUE(strings.empty());
}

TEST(ServiceNames, EscapesLabelsAndHandlesDotsTheDnsSdWay) {
    const std::pair<std::string, std::string> cases[] = {
        {escapeLabel("Peer Web"), "Peer\\032Web"},
        {escapeLabel("a.b\\c"), "a\\.b\\\\c"},
        {escapeLabel(std::string("\x01\x7f", 2)), "\\001\\127"},
        {escapeLabel("Büro (2)"), "Büro\\032(2)"},
        {fullServiceName("Peer Web", "_http._tcp", "local"), "Peer\\032Web._http._tcp.local."},
        {withTrailingDot("local"), "local."},
        {withTrailingDot("local."), "local."},
        {withoutTrailingDot("host.local."), "host.local"},
        {withoutTrailingDot("odd\\."), "odd\\."},
        {withoutTrailingDot("even\\\\."), "even\\\\"},
        {domainArgument(nullptr), ""},
        {domainArgument("."), ""},
        {domainArgument("local."), "local"},
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

TEST(ErrorCodes, MapsDaemonErrorsToTheClosestDnsSdCode) {
    const std::pair<int, DNSServiceErrorType> cases[] = {
        {AVAHI_OK, kDNSServiceErr_NoError},
        {AVAHI_ERR_NO_DAEMON, kDNSServiceErr_ServiceNotRunning},
        {AVAHI_ERR_DBUS_ERROR, kDNSServiceErr_ServiceNotRunning},
        {AVAHI_ERR_COLLISION, kDNSServiceErr_NameConflict},
        {AVAHI_ERR_INVALID_SERVICE_TYPE, kDNSServiceErr_BadParam},
        {AVAHI_ERR_TIMEOUT, kDNSServiceErr_Timeout},
        {AVAHI_ERR_TOO_MANY_OBJECTS, kDNSServiceErr_NoMemory},
        {-1000, kDNSServiceErr_Unknown}};
    for (const auto& [avahi, dnssd] : cases) EXPECT_EQ(fromAvahiError(avahi), dnssd) << avahi;
}

TEST(AvahiTxt, PublishedListLeavesOutEmptyStringsAndHoldsTheLastAtItsHead) {
    bool ok = false;
    AvahiStringList* list = toPublishedList({"a=1", "", "b=2"}, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(fromResolvedList(list), (Strings{"b=2", "a=1"}));
    avahi_string_list_free(list);
    EXPECT_EQ(toPublishedList({"", ""}, ok), nullptr);
    EXPECT_TRUE(ok);
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

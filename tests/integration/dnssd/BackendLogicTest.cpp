// The backend's pure conversions: TXT wire form, names, interface indexes,
// error codes, the order of Avahi string lists.

#include "AvahiTxt.h"
#include "ErrorCodes.h"
#include "LocalServiceNames.h"
#include "ServiceNames.h"
#include "TxtRecord.h"

#include <avahi-common/error.h>
#include <gtest/gtest.h>

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

TEST(ServiceNames, EscapesLabelsTheDnsSdWay) {
    EXPECT_EQ(escapeLabel("Peer Web"), "Peer\\032Web");
    EXPECT_EQ(escapeLabel("a.b\\c"), "a\\.b\\\\c");
    EXPECT_EQ(escapeLabel(std::string("\x01\x7f", 2)), "\\001\\127");
    EXPECT_EQ(escapeLabel("Büro (2)"), "Büro\\032(2)");
    EXPECT_EQ(fullServiceName("Peer Web", "_http._tcp", "local"), "Peer\\032Web._http._tcp.local.");
}

TEST(ServiceNames, TrailingDotsRespectEscapes) {
    EXPECT_EQ(withTrailingDot("local"), "local.");
    EXPECT_EQ(withTrailingDot("local."), "local.");
    EXPECT_EQ(withoutTrailingDot("host.local."), "host.local");
    EXPECT_EQ(withoutTrailingDot("odd\\."), "odd\\.");
    EXPECT_EQ(withoutTrailingDot("even\\\\."), "even\\\\");
    EXPECT_EQ(domainArgument(nullptr), "");
    EXPECT_EQ(domainArgument("."), "");
    EXPECT_EQ(domainArgument("local."), "local");
}

TEST(ServiceNames, ParsesTypesWithSubtypes) {
    ServiceType type;
    ASSERT_TRUE(parseServiceType("_http._tcp.,_printer,_scan.", type));
    EXPECT_EQ(type.type, "_http._tcp");
    EXPECT_EQ(type.subtypes, (Strings{"_printer", "_scan"}));
    EXPECT_EQ(subtypeName("_printer", type.type), "_printer._sub._http._tcp");
    EXPECT_FALSE(parseServiceType(nullptr, type));
    EXPECT_FALSE(parseServiceType("", type));
    EXPECT_FALSE(parseServiceType("_http._tcp,", type));
}

TEST(ErrorCodes, MapsDaemonErrorsToClosestDnsSdCode) {
    EXPECT_EQ(fromAvahiError(AVAHI_OK), kDNSServiceErr_NoError);
    EXPECT_EQ(fromAvahiError(AVAHI_ERR_NO_DAEMON), kDNSServiceErr_ServiceNotRunning);
    EXPECT_EQ(fromAvahiError(AVAHI_ERR_DBUS_ERROR), kDNSServiceErr_ServiceNotRunning);
    EXPECT_EQ(fromAvahiError(AVAHI_ERR_COLLISION), kDNSServiceErr_NameConflict);
    EXPECT_EQ(fromAvahiError(AVAHI_ERR_INVALID_SERVICE_TYPE), kDNSServiceErr_BadParam);
    EXPECT_EQ(fromAvahiError(AVAHI_ERR_TIMEOUT), kDNSServiceErr_Timeout);
    EXPECT_EQ(fromAvahiError(AVAHI_ERR_TOO_MANY_OBJECTS), kDNSServiceErr_NoMemory);
    EXPECT_EQ(fromAvahiError(-1000), kDNSServiceErr_Unknown);
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

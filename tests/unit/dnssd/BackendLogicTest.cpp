// The backend's name conversions, the process's claims on service names,
// and where a start goes among the daemon link's connections. (TXT records
// are compared byte for byte end to end.)

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "link/ConnectionChoice.h"
#include "names/LocalServiceNames.h"
#include "names/ServiceNames.h"

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
}

// A subtype is named after the type's comma or, alone, as the name the
// daemon browses; both spellings give the same parts. Rows without subtypes
// are refused; those with `findOnly` are browsed and resolved, not published.
TEST(ServiceNames, TypeArgumentsInBothSubtypeSpellings) {
    const struct {
        const char* text;
        const char* type;
        std::optional<Strings> subtypes;
        bool findOnly = false;
    } rows[] = {
        {"_http._tcp.,_printer,_scan.", "_http._tcp", Strings{"_printer", "_scan"}},
        {"_http._tcp,_printer", "_http._tcp", Strings{"_printer"}},
        {"_printer._sub._http._tcp", "_http._tcp", Strings{"_printer"}},
        {"_printer._SUB._http._tcp.", "_http._tcp", Strings{"_printer"}},
        {"_http._tcp,_a\\.b", "_http._tcp", Strings{"_a\\.b"}},
        {"_a\\.b._sub._http._tcp", "_http._tcp", Strings{"_a\\.b"}},
        {nullptr, "", std::nullopt},
        {"", "", std::nullopt},
        {"_http._tcp,", "", std::nullopt},
        {"_sub._http._tcp", "", std::nullopt},
        {"_a._b._sub._http._tcp", "", std::nullopt},
        {"_a._sub._sub._http._tcp", "", std::nullopt},
        {"_printer._sub._http", "", std::nullopt},
        {"_printer._sub._http._tcp,_scan", "", std::nullopt},
        {"_my_svc._tcp", "_my_svc._tcp", Strings{}, true},
        {"_p._sub._123._UDP.", "_123._UDP", Strings{"_p"}, true},
        {"_a._tcp", "", std::nullopt},
        {"_ab._sctp", "", std::nullopt},
    };
    for (const auto& row : rows) {
        const char* text = row.text != nullptr ? row.text : "(null)";
        ServiceType type;
        EXPECT_EQ(parseServiceType(row.text, type, TypeUse::Publish), row.subtypes && !row.findOnly) << text;
        const bool parsed = parseServiceType(row.text, type, TypeUse::Find);
        EXPECT_EQ(parsed, row.subtypes.has_value()) << text;
        if (!parsed || !row.subtypes) continue;
        EXPECT_EQ(type.type, row.type) << text;
        EXPECT_EQ(type.subtypes, *row.subtypes) << text;
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

struct FakeConnection {
    char state;  // 's' serves, 'a' knows the daemon absent, 'u' has yet to learn, 'f' lost its bus
    int objects;
    int capacity = 9;
    bool failed = state == 'f';
    bool stateKnown() const { return state != 'u'; }
    bool serves() const { return state == 's'; }
};

// A serving connection with room for all of a start's objects, the first one
// in order; else one still learning the daemon's state; else a new one, unless
// a connection knows the daemon is absent.
TEST(ConnectionChoice, RoomFirstThenAConnectionStillLearningThenANewOne) {
    using Step = ConnectionStep;
    const struct {
        const char* connections;  // each one's state and objects, as "s8a0"
        int objects;
        Step step;
        int chosen;  // index, or -1 for none
    } rows[] = {
        {"", 1, Step::Open, -1},           {"s8", 1, Step::Use, 0},     {"s8", 2, Step::Open, -1},
        {"s9s3", 2, Step::Use, 1},         {"s2s3", 2, Step::Use, 0},   {"f0", 1, Step::Open, -1},
        {"f0s0", 1, Step::Use, 1},         {"u0s0", 1, Step::Use, 1},   {"s9u0", 1, Step::Await, 1},
        {"a0", 1, Step::DaemonAbsent, -1}, {"a0u0", 1, Step::Await, 1}, {"f0a0", 1, Step::DaemonAbsent, -1},
    };
    for (const auto& row : rows) {
        std::vector<std::unique_ptr<FakeConnection>> pool;
        for (const char* c = row.connections; *c != '\0'; c += 2)
            pool.push_back(std::make_unique<FakeConnection>(FakeConnection{c[0], c[1] - '0'}));
        const auto choice = chooseConnection(pool, row.objects);
        EXPECT_EQ(choice.step, row.step) << row.connections << " +" << row.objects;
        EXPECT_EQ(choice.connection, row.chosen < 0 ? nullptr : pool[row.chosen].get()) << row.connections;
    }
}

}  // namespace
}  // namespace Zelm::DnsSd

// The pieces of zelm-mdns that need no plug-in: TXT coding, the command line,
// plug-in location, name confirmation matching and the result table.

#include "CommandLine.h"
#include "DnsSdStatus.h"
#include "Formatting.h"
#include "NameConfirmation.h"
#include "Parallel.h"
#include "PluginLocation.h"
#include "ServiceTable.h"
#include "TxtRecord.h"

#include <zelm/mdns/MDNSError.h>

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace {

using namespace zelm_mdns;

std::string wire(std::initializer_list<std::string> items) {
    std::string bytes;
    for (const std::string& item : items) {
        bytes.push_back(static_cast<char>(item.size()));
        bytes += item;
    }
    return bytes;
}

TEST(TxtRecord, EncodesLengthPrefixedStringsInOrder) {
    EXPECT_EQ(encodeTxt({"path=/a", "flag", "k="}), wire({"path=/a", "flag", "k="}));
    EXPECT_EQ(encodeTxt({}), "");
    EXPECT_EQ(encodeTxt({std::string(255, 'x')}).size(), 256u);
}

TEST(TxtRecord, RefusesEntriesWithoutKeyOrTooLong) {
    EXPECT_THROW(encodeTxt({""}), TxtFormatError);
    EXPECT_THROW(encodeTxt({"=value"}), TxtFormatError);
    EXPECT_THROW(encodeTxt({std::string(256, 'x')}), TxtFormatError);
}

TEST(TxtRecord, DecodesKeysValuesAndBareKeysSkippingPadding) {
    std::string bytes = wire({"a=1", "", "flag", "b==x", "c="});
    bytes.append(100, '\0');  // zero-length strings, as a padded record carries
    const DecodedTxt txt = decodeTxt(bytes);
    ASSERT_EQ(txt.entries.size(), 4u);
    EXPECT_FALSE(txt.truncated);
    EXPECT_EQ(txt.entries[0].key, "a");
    EXPECT_EQ(txt.entries[0].value, std::optional<std::string>("1"));
    EXPECT_EQ(txt.entries[1].key, "flag");
    EXPECT_FALSE(txt.entries[1].value.has_value());
    EXPECT_EQ(txt.entries[2].key, "b");
    EXPECT_EQ(txt.entries[2].value, std::optional<std::string>("=x"));
    EXPECT_EQ(txt.entries[3].value, std::optional<std::string>(""));
}

TEST(TxtRecord, FlagsALengthThatRunsPastTheEnd) {
    std::string bytes = wire({"ok=1"});
    bytes += std::string("\x09short", 6);
    const DecodedTxt txt = decodeTxt(bytes);
    EXPECT_TRUE(txt.truncated);
    ASSERT_EQ(txt.entries.size(), 1u);
    EXPECT_EQ(txt.entries[0].key, "ok");
}

TEST(TxtRecord, EscapesEverythingButPrintableAscii) {
    EXPECT_EQ(escapeBytes(std::string("a b\\c\x00\x7f\xff\n", 9)), "a b\\\\c\\x00\\x7f\\xff\\x0a");
    EXPECT_EQ(formatTxtEntry({"k", std::string("\x01v", 2)}), "k=\\x01v");
    EXPECT_EQ(formatTxtEntry({"flag", std::nullopt}), "flag");
    EXPECT_EQ(toHex(std::string("\x00\x1f\xa0", 3)), "001fa0");
}

TEST(Formatting, TxtAsJsonKeepsTheFirstOfRepeatedKeysAndMarksBareKeys) {
    const DecodedTxt txt = decodeTxt(wire({"a=1", "flag", "a=2", std::string("bin=\x02", 5)}));
    const nlohmann::ordered_json json = txtAsJson(txt);
    EXPECT_EQ(json, (nlohmann::ordered_json{{"a", "1"}, {"flag", true}, {"bin", "\\x02"}}));
    EXPECT_EQ(txtAsText(txt), "a=1 flag a=2 bin=\\x02");
}

TEST(DnsSdStatus, DescribesCodesAsSignedValuesAndTheBusyError) {
    const Zelm::Error notRunning(static_cast<unsigned int>(-65563), Zelm::Error::Service, "");
    EXPECT_EQ(signedCode(notRunning), -65563);
    EXPECT_TRUE(daemonUnreachable(notRunning));
    EXPECT_EQ(describeOutcome(notRunning), "code -65563 (DNS-SD daemon not running)");
    EXPECT_FALSE(daemonUnreachable(Zelm::Error()));
    EXPECT_EQ(dnsSdErrorText(-65546), "DNS-SD error");
    EXPECT_EQ(dnsSdErrorText(12), "DNS-SD error");
    const Zelm::Error busy(Zelm::MDNS::BrowseOperationAlreadyInProgress{});
    EXPECT_EQ(describeOutcome(busy), "operation already in progress");
}

struct ParsedArgs {
    std::optional<int> finished;
    Invocation invocation;
};

ParsedArgs parse(std::vector<const char*> args) {
    args.insert(args.begin(), "zelm-mdns");
    ParsedArgs parsed;
    parsed.finished = parseCommandLine(static_cast<int>(args.size()), args.data(), parsed.invocation);
    return parsed;
}

TEST(CommandLine, RegisterTakesPortTxtAndTimeLimit) {
    const ParsedArgs parsed =
        parse({"register", "My Service", "_http._tcp", "8080", "path=/", "flag", "--for", "2.5", "--json"});
    ASSERT_FALSE(parsed.finished);
    const Invocation& inv = parsed.invocation;
    EXPECT_EQ(inv.command, Command::Register);
    EXPECT_TRUE(inv.json);
    EXPECT_EQ(inv.registration.name, "My Service");
    EXPECT_EQ(inv.registration.type, "_http._tcp");
    EXPECT_EQ(inv.registration.port, 8080u);
    EXPECT_EQ(inv.registration.txt, (std::vector<std::string>{"path=/", "flag"}));
    EXPECT_EQ(inv.registration.forSeconds, std::optional<double>(2.5));
    EXPECT_EQ(inv.registration.confirmMs, 1500u);
}

TEST(CommandLine, DefaultsAndGlobalOptionsBeforeTheSubcommand) {
    const ParsedArgs browse = parse({"--json", "--plugin", "/x/p.so", "browse", "_ipp._tcp"});
    ASSERT_FALSE(browse.finished);
    EXPECT_EQ(browse.invocation.command, Command::Browse);
    EXPECT_TRUE(browse.invocation.json);
    EXPECT_EQ(browse.invocation.plugin, std::optional<std::string>("/x/p.so"));
    EXPECT_EQ(browse.invocation.browse.timeoutMs, 3000u);
    EXPECT_TRUE(browse.invocation.browse.domain.empty());

    const ParsedArgs resolve = parse({"resolve", "A", "_ipp._tcp"});
    EXPECT_EQ(resolve.invocation.resolve.domain, "local.");
    EXPECT_FALSE(resolve.invocation.json);
}

TEST(CommandLine, ProtocolFlagsAndSeveralDiscoverTypes) {
    EXPECT_EQ(parse({"lookup", "h.local."}).invocation.lookup.protocol, protocolAny);
    EXPECT_EQ(parse({"lookup", "-4", "h.local."}).invocation.lookup.protocol, protocolIPv4);
    EXPECT_EQ(parse({"lookup", "h.local.", "-6"}).invocation.lookup.protocol, protocolIPv6);
    const ParsedArgs discover = parse({"discover", "_a._tcp", "_b._udp", "--timeout", "500", "-4"});
    EXPECT_EQ(discover.invocation.discover.types, (std::vector<std::string>{"_a._tcp", "_b._udp"}));
    EXPECT_EQ(discover.invocation.discover.timeoutMs, 500u);
    EXPECT_EQ(discover.invocation.discover.protocol, protocolIPv4);
}

TEST(CommandLine, UsageErrorsEndWithStatusTwoAndHelpWithZero) {
    EXPECT_EQ(parse({}).finished, std::optional<int>(2));
    EXPECT_EQ(parse({"frobnicate"}).finished, std::optional<int>(2));
    EXPECT_EQ(parse({"browse"}).finished, std::optional<int>(2));
    EXPECT_EQ(parse({"browse", "_a._tcp", "--timeout", "0"}).finished, std::optional<int>(2));
    EXPECT_EQ(parse({"register", "n", "_a._tcp", "65536"}).finished, std::optional<int>(2));
    EXPECT_EQ(parse({"register", "n", "_a._tcp", "80", "=v"}).finished, std::optional<int>(2));
    EXPECT_EQ(parse({"lookup", "-4", "-6", "h"}).finished, std::optional<int>(2));
    EXPECT_EQ(parse({"--help"}).finished, std::optional<int>(0));
    EXPECT_EQ(parse({"discover", "--help"}).finished, std::optional<int>(0));
}

TEST(PluginLocation, CommandLineThenEnvironmentThenInstalledThenBuildTree) {
    PluginSearch search;
    search.executableDirectory = "/opt/z/bin";
    search.installedRelativePath = "../lib/libZelmMDNS.so.0";
    search.buildTreePath = "/src/build/factory/libZelmMDNS.so.0.1.0";
    std::set<std::string> files;
    const auto exists = [&files](const std::string& path) { return files.count(path) > 0; };

    EXPECT_EQ(choosePluginPath(search, exists), "/opt/z/bin/../lib/libZelmMDNS.so.0");
    files.insert(search.buildTreePath);
    EXPECT_EQ(choosePluginPath(search, exists), search.buildTreePath);
    files.insert("/opt/z/bin/../lib/libZelmMDNS.so.0");
    EXPECT_EQ(choosePluginPath(search, exists), "/opt/z/bin/../lib/libZelmMDNS.so.0");
    search.environmentPath = "";
    EXPECT_EQ(choosePluginPath(search, exists), "/opt/z/bin/../lib/libZelmMDNS.so.0");
    search.environmentPath = "/env/p.so";
    EXPECT_EQ(choosePluginPath(search, exists), "/env/p.so");
    search.commandLinePath = "p.so";
    EXPECT_EQ(choosePluginPath(search, exists), "./p.so");
}

TEST(NameConfirmation, ExactNameFirstThenRenamedOnesOthersLeftOut) {
    const std::vector<Instance> found{{"Printer #2", "_ipp._tcp.", "local.", 2},
                                      {"Other", "_ipp._tcp.", "local.", 2},
                                      {"Printer", "_ipp._tcp.", "local.", 2},
                                      {"Print", "_ipp._tcp.", "local.", 2}};
    const std::vector<Instance> candidates = candidateInstances("Printer", found);
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].name, "Printer");
    EXPECT_EQ(candidates[1].name, "Printer #2");
    EXPECT_EQ(candidateInstances("", found).size(), found.size());
}

TEST(NameConfirmation, TxtComparisonIgnoresPaddingAndOrderButNotContent) {
    const std::string registered = wire({"a=1", "b"});
    std::string padded = registered;
    padded.append(128 - padded.size(), '\0');
    EXPECT_TRUE(sameTxtEntries(registered, padded));
    EXPECT_TRUE(sameTxtEntries("", std::string(1, '\0')));
    EXPECT_TRUE(sameTxtEntries(registered, wire({"b", "a=1"})));
    EXPECT_FALSE(sameTxtEntries(registered, wire({"b", "a=1", "a=1"})));
    EXPECT_FALSE(sameTxtEntries(registered, wire({"a=2", "b"})));
    EXPECT_FALSE(sameTxtEntries(registered, wire({"a=1", "b="})));
    EXPECT_FALSE(sameTxtEntries(registered, wire({"a=1"})));
}

TEST(Queries, DistinctInstancesKeepTheFirstReportOfEach) {
    const std::vector<Zelm::MDNS::Info> reports{{"A", "_x._tcp.", "local.", 2},
                                                {"A", "_x._tcp.", "local.", 3},
                                                {"B", "_x._tcp.", "local.", 2},
                                                {"A", "_y._tcp.", "local.", 2},
                                                {"A", "_x._tcp.", "local.", 2}};
    const std::vector<Instance> instances = distinctInstances(reports);
    ASSERT_EQ(instances.size(), 3u);
    EXPECT_EQ(instances[0].interfaceIndex, 2);
    EXPECT_EQ(instances[1].name, "B");
    EXPECT_EQ(instances[2].type, "_y._tcp.");
}

TEST(ServiceTable, SortsByTypeThenNameAndAlignsColumns) {
    std::vector<ServiceRow> rows{{"Web", "_http._tcp.", "local.", "b.local.", "198.18.0.2", 80, "path=/", ""},
                                 {"Zed", "_ipp._tcp.", "local.", "", "", -1, "", "cannot resolve"},
                                 {"Alpha", "_ipp._tcp.", "local.", "b.local.", "198.18.0.2", 631, "", ""}};
    sortRows(rows);
    EXPECT_EQ(rows[0].name, "Web");
    EXPECT_EQ(rows[1].name, "Alpha");
    const std::vector<std::string> lines = formatTable(rows);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "NAME   TYPE         HOST      ADDRESS     PORT  TXT");
    EXPECT_EQ(lines[1], "Web    _http._tcp.  b.local.  198.18.0.2  80    path=/");
    EXPECT_EQ(lines[2], "Alpha  _ipp._tcp.   b.local.  198.18.0.2  631");
    EXPECT_EQ(lines[3], "Zed    _ipp._tcp.   -         -           -");
}

TEST(Parallel, RunsEveryTaskOnceAndRethrowsAFailure) {
    std::vector<int> runs(20, 0);
    runInParallel(runs.size(), 4, [&runs](std::size_t i) { ++runs[i]; });
    EXPECT_EQ(runs, std::vector<int>(20, 1));
    std::atomic<int> done{0};
    EXPECT_THROW(runInParallel(5, 2,
                               [&done](std::size_t i) {
                                   ++done;
                                   if (i == 3) throw std::runtime_error("x");
                               }),
                 std::runtime_error);
    EXPECT_EQ(done.load(), 5);
}

}  // namespace

// The pieces of zelm-mdns that need no plug-in and hold logic of their own:
// TXT coding and its JSON form, plug-in location, name confirmation matching,
// the result table and the parallel runner. The command line and whole
// operations are checked end to end by zelm_mdns_e2e.py.

#include "Formatting.h"
#include "NameConfirmation.h"
#include "Parallel.h"
#include "PluginLocation.h"
#include "ServiceTable.h"
#include "TxtRecord.h"

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

TEST(TxtRecord, EncodesStringsInOrderAndRefusesEntriesWithoutKeyOrTooLong) {
    EXPECT_EQ(encodeTxt({"path=/a", "flag", "k="}), wire({"path=/a", "flag", "k="}));
    EXPECT_EQ(encodeTxt({std::string(255, 'x')}).size(), 256u);
    EXPECT_THROW(encodeTxt({""}), TxtFormatError);
    EXPECT_THROW(encodeTxt({"=value"}), TxtFormatError);
    EXPECT_THROW(encodeTxt({std::string(256, 'x')}), TxtFormatError);
}

TEST(TxtRecord, DecodesKeysValuesAndBareKeysSkippingPaddingAndFlagsTruncation) {
    std::string bytes = wire({"a=1", "", "flag", "b==x", "c="});
    bytes.append(100, '\0');  // zero-length strings, as a padded record carries
    DecodedTxt txt = decodeTxt(bytes);
    ASSERT_EQ(txt.entries.size(), 4u);
    EXPECT_FALSE(txt.truncated);
    EXPECT_EQ(txt.entries[0].value, std::optional<std::string>("1"));
    EXPECT_EQ(txt.entries[1].key, "flag");
    EXPECT_FALSE(txt.entries[1].value.has_value());
    EXPECT_EQ(txt.entries[2].key, "b");
    EXPECT_EQ(txt.entries[2].value, std::optional<std::string>("=x"));
    EXPECT_EQ(txt.entries[3].value, std::optional<std::string>(""));
    txt = decodeTxt(wire({"ok=1"}) + std::string("\x09short", 6));
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

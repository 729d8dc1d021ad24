// The pieces of zelm-mdns that hold logic of their own and need no plug-in.
// Output formats and whole operations are checked end to end.

#include <gtest/gtest.h>

#include <set>

#include "NameConfirmation.h"
#include "PluginLocation.h"
#include "TxtRecord.h"

namespace {

using namespace Zelm::Tool;

// Encoding in order, decoding and hex are checked end to end.
TEST(TxtRecord, RefusesKeylessOrLongEntriesSkipsPaddingAndMarksTruncation) {
    for (const std::string& bad : {std::string(), std::string("=value"), std::string(256, 'x')})
        EXPECT_THROW(encodeTxt({bad}), TxtFormatError);
    EXPECT_EQ(encodeTxt({std::string(255, 'x')}).size(), 256u);
    DecodedTxt txt = decodeTxt(encodeTxt({"a=1", "flag"}) + std::string(100, '\0'));
    ASSERT_EQ(txt.entries.size(), 2u);
    EXPECT_FALSE(txt.truncated || txt.entries[1].value.has_value());
    txt = decodeTxt(encodeTxt({"ok=1"}) + "\x09short");
    EXPECT_TRUE(txt.truncated);
    EXPECT_EQ(txt.entries.size(), 1u);
}

TEST(PluginLocation, CommandLineThenEnvironmentThenInstalledThenBuildTree) {
    PluginSearch search;
    search.executableDirectory = "/opt/z/bin";
    search.installedRelativePath = "../lib/libZelmMDNS.so.0";
    search.buildTreePath = "/src/build/factory/libZelmMDNS.so.0.1.0";
    std::set<std::string> files;
    const auto exists = [&files](const std::string& path) { return files.count(path) > 0; };
    const std::string installed = "/opt/z/bin/../lib/libZelmMDNS.so.0";

    EXPECT_EQ(choosePluginPath(search, exists), installed);
    files.insert(search.buildTreePath);
    EXPECT_EQ(choosePluginPath(search, exists), search.buildTreePath);
    files.insert(installed);
    search.environmentPath = "";
    EXPECT_EQ(choosePluginPath(search, exists), installed);
    search.environmentPath = "/env/p.so";
    EXPECT_EQ(choosePluginPath(search, exists), "/env/p.so");
    search.commandLinePath = "p.so";
    EXPECT_EQ(choosePluginPath(search, exists), "./p.so");
}

TEST(NameConfirmation, RenamedInstancesAndTxtComparedWithoutPaddingOrOrder) {
    const std::vector<Instance> found{{"Printer #2", "_ipp._tcp.", "local.", 2},
                                      {"Other", "_ipp._tcp.", "local.", 2},
                                      {"Printer", "_ipp._tcp.", "local.", 2},
                                      {"Print", "_ipp._tcp.", "local.", 2}};
    const std::vector<Instance> candidates = candidateInstances("Printer", found);
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].name, "Printer");
    EXPECT_EQ(candidates[1].name, "Printer #2");

    const std::string registered = encodeTxt({"a=1", "b"});
    EXPECT_TRUE(sameTxtEntries(registered, registered + std::string(100, '\0')));
    EXPECT_TRUE(sameTxtEntries("", std::string(1, '\0')));
    EXPECT_TRUE(sameTxtEntries(registered, encodeTxt({"b", "a=1"})));
    for (const auto& other : {encodeTxt({"b", "a=1", "a=1"}), encodeTxt({"a=2", "b"}),
                              encodeTxt({"a=1", "b="}), encodeTxt({"a=1"})}) {
        EXPECT_FALSE(sameTxtEntries(registered, other));
    }
}

}  // namespace

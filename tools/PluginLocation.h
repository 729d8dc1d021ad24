#pragma once

// Where the tool looks for the plug-in when no --plugin option is given.

#include <functional>
#include <optional>
#include <string>

namespace Zelm::Tool {

struct PluginSearch {
    std::optional<std::string> commandLinePath;  // --plugin
    std::optional<std::string> environmentPath;  // ZELM_MDNS_PLUGIN
    std::string executableDirectory;             // where this program lives
    std::string installedRelativePath;           // plug-in path relative to that directory
    std::string buildTreePath;                   // the plug-in of this build tree; may be empty
};

// Picks the plug-in file: the --plugin path, else the environment's, else the
// installed location beside the program if it exists, else the build tree's
// plug-in if that exists, else the installed location (so that the error
// names the expected place).
std::string choosePluginPath(const PluginSearch& search,
                             const std::function<bool(const std::string&)>& fileExists);

// dlopen treats a name without a slash as a library to search for; a file
// given on the command line is meant literally.
std::string asFilePath(const std::string& path);

// The directory of the running executable, or "." if it cannot be read.
std::string executableDirectory();

bool regularFileExists(const std::string& path);

}  // namespace Zelm::Tool

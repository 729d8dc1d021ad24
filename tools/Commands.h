#pragma once

// The subcommands. Each returns the process's exit status.

#include "Calls.h"
#include "CommandLine.h"
#include "Output.h"
#include "Plugin.h"

namespace Zelm::Tool {

enum ExitCode : int {
    exitSuccess = 0,
    exitFailure = 1,  // nothing found, or an operation failed
    exitUsage = 2,
};

int runBrowse(const Plugin& plugin, Output& out, const BrowseOptions& options);
int runTypes(const Plugin& plugin, Output& out, const BrowseOptions& options);
int runResolve(const Plugin& plugin, Output& out, const ResolveOptions& options);
int runLookup(const Plugin& plugin, Output& out, const LookupOptions& options);
int runRegister(const Plugin& plugin, Output& out, const RegisterOptions& options);
int runDiscover(const Plugin& plugin, Output& out, const DiscoverOptions& options);
int runDoctor(const Plugin& plugin, Output& out, const std::string& pluginPath);

// Name of the network interface with this index, or its number as text.
std::string interfaceName(int index);

// A failure: a "failure" event for JSON readers and the line on stderr.
int fail(Output& out, const std::string& what, const Outcome& outcome);

}  // namespace Zelm::Tool

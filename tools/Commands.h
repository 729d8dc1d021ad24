#pragma once

// The subcommands. Each returns the process's exit status (ExitCode.h).

#include "CommandLine.h"
#include "Output.h"
#include "Plugin.h"

namespace Zelm::Tool {

int runBrowse(const Plugin& plugin, Output& out, const BrowseOptions& options);
int runResolve(const Plugin& plugin, Output& out, const ResolveOptions& options);
int runLookup(const Plugin& plugin, Output& out, const LookupOptions& options);
int runRegister(const Plugin& plugin, Output& out, const RegisterOptions& options);
int runDiscover(const Plugin& plugin, Output& out, const DiscoverOptions& options);

}  // namespace Zelm::Tool

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
// Without a plug-in (null: it could not be loaded, for `loadError`) doctor
// still prints every check.
int runDoctor(const Plugin* plugin, Output& out, const std::string& pluginPath, const std::string& loadError,
              const DoctorOptions& options);
int runDomains(Output& out, const DomainsOptions& options);

// A failure: a "failure" event for JSON readers and the line on stderr.
int fail(Output& out, const std::string& what, const Outcome& outcome, const std::string& hint = "");

// A "summary" event with these fields, and the signal that ended the wait early.
Event summaryOf(const Outcome& outcome, nlohmann::ordered_json fields);

const char* signalName(int signal);

}  // namespace Zelm::Tool

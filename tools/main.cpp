// zelm-mdns: a command-line host of the ZelmMDNS plug-in. It loads the plug-in
// with dlopen and uses it only through its factory and component interfaces.

#include "CommandLine.h"
#include "Commands.h"
#include "ExitCode.h"
#include "Output.h"
#include "Plugin.h"
#include "PluginLocation.h"

#include <cstdlib>
#include <exception>

#ifndef ZELM_MDNS_PLUGIN_RELATIVE_PATH
#define ZELM_MDNS_PLUGIN_RELATIVE_PATH "../lib/libZelmMDNS.so.0"
#endif
#ifndef ZELM_MDNS_PLUGIN_BUILD_PATH
#define ZELM_MDNS_PLUGIN_BUILD_PATH ""
#endif

namespace {

std::string pluginPath(const Zelm::Tool::Invocation& invocation) {
    Zelm::Tool::PluginSearch search;
    search.commandLinePath = invocation.plugin;
    if (const char* fromEnvironment = std::getenv("ZELM_MDNS_PLUGIN")) {
        search.environmentPath = fromEnvironment;
    }
    search.executableDirectory = Zelm::Tool::executableDirectory();
    search.installedRelativePath = ZELM_MDNS_PLUGIN_RELATIVE_PATH;
    search.buildTreePath = ZELM_MDNS_PLUGIN_BUILD_PATH;
    return Zelm::Tool::choosePluginPath(search, &Zelm::Tool::regularFileExists);
}

int run(const Zelm::Tool::Invocation& invocation) {
    using Zelm::Tool::Command;
    Zelm::Tool::Output out(invocation.json);
    const Zelm::Tool::Plugin plugin(pluginPath(invocation));
    switch (invocation.command) {
        case Command::Browse:
            return Zelm::Tool::runBrowse(plugin, out, invocation.browse);
        case Command::Resolve:
            return Zelm::Tool::runResolve(plugin, out, invocation.resolve);
        case Command::Lookup:
            return Zelm::Tool::runLookup(plugin, out, invocation.lookup);
        case Command::Register:
            return Zelm::Tool::runRegister(plugin, out, invocation.registration);
        case Command::Discover:
            return Zelm::Tool::runDiscover(plugin, out, invocation.discover);
    }
    return Zelm::Tool::exitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    Zelm::Tool::Invocation invocation;
    if (const auto finished = Zelm::Tool::parseCommandLine(argc, argv, invocation)) {
        return *finished;
    }
    // From here on std::cout carries only the plug-in's diagnostic lines.
    if (invocation.quiet) {
        Zelm::Tool::discardLibraryDiagnostics();
    } else {
        Zelm::Tool::routeLibraryDiagnosticsToStderr();
    }
    try {
        return run(invocation);
    } catch (const std::exception& error) {
        Zelm::Tool::reportError(error.what());
    }
    return Zelm::Tool::exitFailure;
}

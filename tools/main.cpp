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

std::string pluginPath(const zelm_mdns::Invocation& invocation) {
    zelm_mdns::PluginSearch search;
    search.commandLinePath = invocation.plugin;
    if (const char* fromEnvironment = std::getenv("ZELM_MDNS_PLUGIN")) {
        search.environmentPath = fromEnvironment;
    }
    search.executableDirectory = zelm_mdns::executableDirectory();
    search.installedRelativePath = ZELM_MDNS_PLUGIN_RELATIVE_PATH;
    search.buildTreePath = ZELM_MDNS_PLUGIN_BUILD_PATH;
    return zelm_mdns::choosePluginPath(search, &zelm_mdns::regularFileExists);
}

int run(const zelm_mdns::Invocation& invocation) {
    using zelm_mdns::Command;
    zelm_mdns::Output out(invocation.json);
    const zelm_mdns::Plugin plugin(pluginPath(invocation));
    switch (invocation.command) {
        case Command::Browse:
            return zelm_mdns::runBrowse(plugin, out, invocation.browse);
        case Command::Resolve:
            return zelm_mdns::runResolve(plugin, out, invocation.resolve);
        case Command::Lookup:
            return zelm_mdns::runLookup(plugin, out, invocation.lookup);
        case Command::Register:
            return zelm_mdns::runRegister(plugin, out, invocation.registration);
        case Command::Discover:
            return zelm_mdns::runDiscover(plugin, out, invocation.discover);
    }
    return zelm_mdns::exitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    zelm_mdns::Invocation invocation;
    if (const auto finished = zelm_mdns::parseCommandLine(argc, argv, invocation)) {
        return *finished;
    }
    // From here on std::cout carries only the plug-in's diagnostic lines.
    if (invocation.quiet) {
        zelm_mdns::discardLibraryDiagnostics();
    } else {
        zelm_mdns::routeLibraryDiagnosticsToStderr();
    }
    try {
        return run(invocation);
    } catch (const std::exception& error) {
        zelm_mdns::reportError(error.what());
    }
    return zelm_mdns::exitFailure;
}

// zelm-mdns: a command-line host of the ZelmMDNS plug-in. It loads the plug-in
// with dlopen and uses it only through its factory and component interfaces.

#include "CommandLine.h"
#include "Commands.h"
#include "Errand.h"
#include "LibraryLines.h"
#include "Output.h"
#include "Plugin.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>

#ifndef ZELM_MDNS_PLUGIN_RELATIVE_PATH
#define ZELM_MDNS_PLUGIN_RELATIVE_PATH "../lib/libZelmMDNS.so.0"
#endif
#ifndef ZELM_MDNS_PLUGIN_BUILD_PATH
#define ZELM_MDNS_PLUGIN_BUILD_PATH ""
#endif

namespace {

// --plugin, else $ZELM_MDNS_PLUGIN, else the installed place beside this
// program, else this build tree's plug-in, else the installed place again, so
// that the error names where it was expected. dlopen takes a name without a
// slash for a library to search for; a file named here is meant literally.
std::string pluginPath(const Zelm::Tool::Invocation& invocation) {
    const char* environment = std::getenv("ZELM_MDNS_PLUGIN");
    const std::string given = invocation.plugin        ? *invocation.plugin
                              : environment != nullptr ? environment
                                                       : "";
    if (!given.empty()) return given.find('/') == std::string::npos ? "./" + given : given;
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string program = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "./";
    const std::string installed = program.substr(0, program.rfind('/') + 1) + ZELM_MDNS_PLUGIN_RELATIVE_PATH;
    const std::string built = ZELM_MDNS_PLUGIN_BUILD_PATH;
    return ::access(installed.c_str(), F_OK) != 0 && !built.empty() && ::access(built.c_str(), F_OK) == 0
               ? built
               : installed;
}

int runWith(const Zelm::Tool::Plugin& plugin, Zelm::Tool::Output& out, const std::string& path,
            const Zelm::Tool::Invocation& invocation) {
    using namespace Zelm::Tool;
    switch (invocation.command) {
        case Command::Browse:
            return runBrowse(plugin, out, invocation.browse);
        case Command::Types:
            return runTypes(plugin, out, invocation.types);
        case Command::Resolve:
            return runResolve(plugin, out, invocation.resolve);
        case Command::Lookup:
            return runLookup(plugin, out, invocation.lookup);
        case Command::Register:
            return runRegister(plugin, out, invocation.registration);
        case Command::Discover:
            return runDiscover(plugin, out, invocation.discover);
        case Command::Doctor:
            return runDoctor(&plugin, out, path, "", invocation.doctor);
        case Command::Domains:
            break;
    }
    return exitUsage;
}

int run(const Zelm::Tool::Invocation& invocation) {
    using namespace Zelm::Tool;
    Output out(invocation.json);
    if (invocation.command == Command::Domains) return runDomains(out, invocation.domains);
    const std::string path = pluginPath(invocation);
    std::unique_ptr<Plugin> plugin;
    try {
        plugin = std::make_unique<Plugin>(path);
    } catch (const std::runtime_error& error) {
        if (invocation.command != Command::Doctor) throw;
        return runDoctor(nullptr, out, path, error.what(), invocation.doctor);
    }
    const int status = runWith(*plugin, out, path, invocation);
    // A call the tool stopped waiting for runs on inside the plug-in.
    if (errandsLeftRunning()) plugin.release();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Zelm::Tool::Invocation invocation;
    if (const auto finished = Zelm::Tool::parseCommandLine(argc, argv, invocation)) {
        return *finished;
    }
    // From here on std::cout carries only the plug-in's diagnostic lines.
    Zelm::Tool::captureLibraryLines(!invocation.quiet);
    int status = Zelm::Tool::exitFailure;
    try {
        status = run(invocation);
    } catch (const std::exception& error) {
        Zelm::Tool::reportError(error.what());
    }
    // exit() would unload the plug-in under a call left running in it.
    if (Zelm::Tool::errandsLeftRunning()) {
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}

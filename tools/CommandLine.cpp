#include "CommandLine.h"

#include "Commands.h"
#include "TxtRecord.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace Zelm::Tool {

namespace {

constexpr unsigned int kMaxTimeoutMs = 24u * 3600u * 1000u;

const char* const description =
    "Multicast-DNS service discovery and advertisement through the ZelmMDNS plug-in.\n"
    "Results go to stdout, diagnostics to stderr. Exit status: 0 success, 1 nothing\n"
    "found or an operation failed, 2 usage error.";

void addCommonOptions(CLI::App& command, Invocation& invocation) {
    command.add_flag("--json", invocation.json, "Print results as JSON, one object per line");
    command.add_flag("-q,--quiet", invocation.quiet,
                     "Do not pass the plug-in's diagnostic lines on to stderr");
    command.add_option("--plugin", invocation.plugin,
                       "Plug-in file to load (default: $ZELM_MDNS_PLUGIN, else the installed one)");
}

std::string validTxtItem(const std::string& item) {
    try {
        encodeTxt({item});
    } catch (const TxtFormatError& error) {
        return error.what();
    }
    return {};
}

void addProtocolFlags(CLI::App& command, unsigned int& protocol) {
    auto* v4 = command.add_flag_callback(
        "-4", [&protocol] { protocol = protocolIPv4; }, "IPv4 address only");
    auto* v6 = command.add_flag_callback(
        "-6", [&protocol] { protocol = protocolIPv6; }, "IPv6 address only");
    v4->excludes(v6);
}

// The options that browsing takes, in `browse` and in `discover`.
void addBrowseOptions(CLI::App& command, std::string& domain, unsigned int& timeoutMs) {
    command.add_option("--domain", domain, "Domain (default: the daemon's)");
    command.add_option("--timeout", timeoutMs, "How long to browse, in ms")
        ->check(CLI::Range(1u, kMaxTimeoutMs))
        ->capture_default_str();
}

}  // namespace

std::optional<int> parseCommandLine(int argc, const char* const* argv, Invocation& invocation) {
    CLI::App app(description, "zelm-mdns");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("zelm-mdns ") + ZELM_MDNS_VERSION,
                         "Print the version and exit");
    addCommonOptions(app, invocation);

    auto* browse = app.add_subcommand("browse", "List the instances of a service type");
    browse->add_option("TYPE", invocation.browse.type, "Service type, e.g. _http._tcp")->required();
    addBrowseOptions(*browse, invocation.browse.domain, invocation.browse.timeoutMs);
    browse->callback([&invocation] { invocation.command = Command::Browse; });

    auto* resolve = app.add_subcommand("resolve", "Show host, port and TXT record of a service instance");
    resolve->add_option("NAME", invocation.resolve.name, "Instance name")->required();
    resolve->add_option("TYPE", invocation.resolve.type, "Service type")->required();
    resolve->add_option("--domain", invocation.resolve.domain, "Domain")->capture_default_str();
    resolve->callback([&invocation] { invocation.command = Command::Resolve; });

    auto* lookup = app.add_subcommand("lookup", "Find the address of a host name");
    lookup->add_option("HOST", invocation.lookup.host, "Host name, e.g. printer.local.")->required();
    addProtocolFlags(*lookup, invocation.lookup.protocol);
    lookup->callback([&invocation] { invocation.command = Command::Lookup; });

    auto* registration = app.add_subcommand("register", "Advertise a service until interrupted");
    RegisterOptions& reg = invocation.registration;
    registration->add_option("NAME", reg.name, "Instance name")->required();
    registration->add_option("TYPE", reg.type, "Service type")->required();
    registration->add_option("PORT", reg.port, "Port")->required()->check(CLI::Range(0u, 65535u));
    registration->add_option("TXT", reg.txt, "TXT entries: KEY=VALUE or KEY")
        ->check(validTxtItem, "KEY=VALUE");
    registration->add_option("--domain", reg.domain, "Domain (default: the daemon's)");
    registration->add_option("--for", reg.forSeconds, "Withdraw after this many seconds")
        ->check(CLI::Range(0.0, 1.0e7));
    registration
        ->add_option("--confirm-timeout", reg.confirmMs,
                     "ms spent browsing for the name the daemon confirmed (0: skip)")
        ->check(CLI::Range(0u, kMaxTimeoutMs))
        ->capture_default_str();
    registration->callback([&invocation] { invocation.command = Command::Register; });

    auto* types = app.add_subcommand("types", "List the service types on the network");
    addBrowseOptions(*types, invocation.types.domain, invocation.types.timeoutMs);
    types->callback([&invocation] { invocation.command = Command::Types; });

    auto* domains =
        app.add_subcommand("domains", "List the browse domains: local. and avahi-daemon's browse-domains");
    domains->add_option("--config", invocation.domains.config, "avahi-daemon's configuration file")
        ->capture_default_str();
    domains->callback([&invocation] { invocation.command = Command::Domains; });

    auto* doctor = app.add_subcommand("doctor", "Check what mDNS needs here, one line per check");
    doctor->add_option("--domain", invocation.doctor.domain,
                       "Also check registration by DNS UPDATE in this unicast domain");
    doctor->callback([&invocation] { invocation.command = Command::Doctor; });

    auto* discover = app.add_subcommand("discover", "Browse, resolve and look up: one row per service");
    discover->add_option("TYPE", invocation.discover.types, "Service types")->required();
    addBrowseOptions(*discover, invocation.discover.domain, invocation.discover.timeoutMs);
    addProtocolFlags(*discover, invocation.discover.protocol);
    discover->callback([&invocation] { invocation.command = Command::Discover; });

    const std::vector<CLI::App*> commands{browse,   resolve, lookup,  registration,
                                          discover, types,   domains, doctor};
    for (CLI::App* command : commands) addCommonOptions(*command, invocation);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // A word where the subcommand belongs that names none: CLI11 would
        // only say that a subcommand is required.
        if (app.get_subcommands().empty() && !app.remaining().empty() && app.remaining().front()[0] != '-') {
            std::string names;
            for (const CLI::App* command : commands)
                names += (names.empty() ? "" : ", ") + command->get_name();
            std::fprintf(stderr, "zelm-mdns: unknown subcommand '%s'; the subcommands are %s\n",
                         app.remaining().front().c_str(), names.c_str());
            return exitUsage;
        }
        // --help and --version end here too, with status 0 and the text on stdout.
        return app.exit(error) == 0 ? exitSuccess : exitUsage;
    }
    return std::nullopt;
}

}  // namespace Zelm::Tool

#pragma once

// The command line of zelm-mdns: subcommands and their options.

#include <optional>
#include <string>
#include <vector>

namespace Zelm::Tool {

enum class Command { Browse, Resolve, Lookup, Register, Discover, Types, Domains, Doctor };

// Protocol masks as the address lookup takes them.
constexpr unsigned int kProtocolAny = 0;
constexpr unsigned int protocolIPv4 = 1;
constexpr unsigned int protocolIPv6 = 2;

// browse, and types (whose type is the service-type enumeration's).
struct BrowseOptions {
    std::string type;
    std::string domain;  // empty: the daemon's default
    unsigned int timeoutMs = 3000;
};

struct ResolveOptions {
    std::string name;
    std::string type;
    std::string domain = "local.";
};

struct LookupOptions {
    std::string host;
    unsigned int protocol = kProtocolAny;
};

struct RegisterOptions {
    std::string name;
    std::string type;
    unsigned int port = 0;
    std::vector<std::string> txt;  // "key=value" or "key"
    std::string domain;            // empty: the daemon's default
    std::optional<double> forSeconds;
    unsigned int confirmMs = 1500;  // browse time spent finding the confirmed name; 0 skips it
};

struct DiscoverOptions {
    std::vector<std::string> types;
    std::string domain;
    unsigned int timeoutMs = 3000;
    unsigned int protocol = kProtocolAny;  // any: IPv4 first, IPv6 when there is none
};

struct DoctorOptions {
    std::string domain;  // a unicast domain whose DNS server takes our updates; empty: none
};

struct DomainsOptions {
    std::string config = "/etc/avahi/avahi-daemon.conf";
};

struct Invocation {
    Command command = Command::Browse;
    bool json = false;
    bool quiet = false;  // drop the plug-in's diagnostic lines
    std::optional<std::string> plugin;
    BrowseOptions browse;
    BrowseOptions types{"_services._dns-sd._udp", "", 3000};
    ResolveOptions resolve;
    LookupOptions lookup;
    RegisterOptions registration;
    DiscoverOptions discover;
    DomainsOptions domains;
    DoctorOptions doctor;
};

// Parses argv into `invocation`. Returns an exit code when the run ends here:
// 0 after --help (printed on stdout), 2 after a usage error (on stderr).
std::optional<int> parseCommandLine(int argc, const char* const* argv, Invocation& invocation);

}  // namespace Zelm::Tool

// zelm-mdns domains: the browse domains. DNS-SD finds them with the query
// b._dns-sd._udp.<domain>, which the plug-in's components cannot make: a
// browse takes a service type, "_name._tcp" or "_name._udp" with subtypes,
// and "b._dns-sd._udp" is none. The tool lists what avahi-daemon offers
// instead: its multicast domain and the browse-domains of its configuration.

#include "Commands.h"

#include <fstream>

namespace Zelm::Tool {

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string absolute(const std::string& domain) { return domain.back() == '.' ? domain : domain + "."; }

}  // namespace

int runDomains(Output& out, const DomainsOptions& options) {
    std::string multicast = "local";
    std::vector<std::string> browseDomains;
    std::ifstream config(options.config);
    if (!config) reportError("cannot read " + options.config + ": only the multicast domain is known");
    std::string section;
    for (std::string line; std::getline(config, line);) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            section = line;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (section != "[server]" || equals == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, equals)), value = trimmed(line.substr(equals + 1));
        if (key == "domain-name" && !value.empty()) multicast = value;
        if (key != "browse-domains") continue;
        std::size_t start = 0;
        for (std::size_t comma; start <= value.size(); start = comma + 1) {
            comma = std::min(value.find(',', start), value.size());
            const std::string domain = trimmed(value.substr(start, comma - start));
            if (!domain.empty()) browseDomains.push_back(domain);
        }
    }
    out.emit({"domain", {{"domain", absolute(multicast)}, {"source", "multicast"}}});
    for (const std::string& domain : browseDomains) {
        out.emit({"domain", {{"domain", absolute(domain)}, {"source", "browse-domains"}}});
    }
    return exitSuccess;
}

}  // namespace Zelm::Tool

#pragma once

// One operation of each kind, run on a fresh component of the plug-in, with
// the answer copied out before the component is released.

#include "Plugin.h"

#include <zelm/Error.h>
#include <zelm/mdns/Info.h>

#include <functional>
#include <string>
#include <vector>

namespace Zelm::Tool {

struct Instance {
    std::string name;
    std::string type;
    std::string domain;
    int interfaceIndex = 0;
};

struct BrowseResult {
    Zelm::Error outcome;
    // Whether the daemon accepted the browse request. A browse that found
    // nothing ends with the code of its cut-off request either way; this tells
    // "nothing there" from "could not ask".
    bool requestStarted = false;
    std::vector<Instance> instances;  // distinct by name, type and domain, in arrival order
    std::size_t reports = 0;          // every report, repeats and other interfaces included
};

struct Resolution {
    Zelm::Error outcome;
    std::string fullname;
    std::string host;
    unsigned short port = 0;
    std::string txt;  // wire form
};

struct AddressLookup {
    Zelm::Error outcome;
    std::string address;  // numeric text; empty when nothing was found
    int family = 0;       // AF_INET or AF_INET6 when found
};

// Browses for `timeoutMs`; an empty domain means the daemon's default.
// `onReport` runs for each report as it arrives, on the plug-in's thread.
BrowseResult browseInstances(const Plugin& plugin, const std::string& type, const std::string& domain,
                             unsigned int timeoutMs,
                             const std::function<void(const Zelm::MDNS::Info&)>& onReport);

// Distinct instances of `reports`, first report of each kept.
std::vector<Instance> distinctInstances(const std::vector<Zelm::MDNS::Info>& reports);

Resolution resolveInstance(const Plugin& plugin, const std::string& name, const std::string& type,
                           const std::string& domain);

// `protocol` is 0 (either), 1 (IPv4) or 2 (IPv6).
AddressLookup lookupAddress(const Plugin& plugin, const std::string& host, unsigned int protocol);

}  // namespace Zelm::Tool

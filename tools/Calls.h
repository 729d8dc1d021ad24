#pragma once

// One operation of each kind, run on a fresh component of the plug-in, with
// the answer copied out before the component is released, and how it ended.

#include "Outcome.h"
#include "Plugin.h"
#include "StopSignal.h"

#include <zelm/mdns/Info.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Zelm::Tool {

// The plug-in answers a lookup or a resolution within this time or not at all.
constexpr unsigned int kAnswerTimeoutMs = 4000;

struct Browsed {
    Outcome outcome;
    std::vector<Zelm::MDNS::Info> reports;  // every report, repeats included
};

// Browses for `timeoutMs`; an empty domain means the daemon's default.
// `onReport` runs for each report as it arrives, on the plug-in's thread. The
// browse ends before its time when its start is refused, when the daemon goes
// away, and with `stop`, on SIGINT or SIGTERM.
Browsed browse(const Plugin& plugin, const std::string& type, const std::string& domain,
               unsigned int timeoutMs, const std::function<void(const Zelm::MDNS::Info&)>& onReport = {},
               const StopSignal* stop = nullptr);

// A reply of the service-type enumeration: instance "_http", type
// "_tcp.local." name the type "_http._tcp" in the domain "local.".
struct ServiceType {
    std::string type;
    std::string domain;
};
ServiceType serviceTypeOf(const Zelm::MDNS::Info& reply);

// A type and the domain it was reported in as one name, "_http._tcp.local.";
// the enumeration reports its types in the root domain ".".
std::string typeInDomain(const std::string& type, const std::string& domain);

// Distinct instances of `reports`, first report of each kept.
std::vector<Zelm::MDNS::Info> distinct(const std::vector<Zelm::MDNS::Info>& reports);

struct Resolved {
    Outcome outcome;
    std::string fullname;
    std::string host;
    unsigned short port = 0;
    std::string txt;  // wire form
};

// On the interface with index `interfaceIndex`, or on all of them (0).
Resolved resolve(const Plugin& plugin, const std::string& name, const std::string& type,
                 const std::string& domain, unsigned int interfaceIndex = 0);

struct Address {
    Outcome outcome;
    std::string address;  // numeric text, fe80::1%eth0 for a link-local one; empty when none was found
    int family = 0;       // AF_INET or AF_INET6 when found
};

class Errand;

// Starts an address lookup that cannot reach the network, on the loopback
// interface (where avahi-daemon does not run), as `errand`: its start is
// refused at once when the daemon cannot be reached. Null without loopback.
std::shared_ptr<Address> probeDaemon(const Plugin& plugin, Errand& errand);

// `protocol` is 0 (IPv4, else IPv6), 1 (IPv4) or 2 (IPv6); on the interface
// with index `interfaceIndex`, or on all of them (0).
Address lookup(const Plugin& plugin, const std::string& host, unsigned int protocol,
               unsigned int interfaceIndex = 0);

}  // namespace Zelm::Tool

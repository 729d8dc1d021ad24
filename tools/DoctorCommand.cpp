// zelm-mdns doctor: "why can't I see my device?" One line per check, from
// the plug-in used as any host uses it and the host's interfaces. The
// evidence is gathered first and judged afterwards: which interfaces count
// depends on what the daemon was seen to do on them.

#include "Commands.h"
#include "Interfaces.h"
#include "Parallel.h"
#include "TxtRecord.h"

#include <dns_sd.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <regex>
#include <set>

namespace Zelm::Tool {

namespace {

constexpr const char* kSelfTestType = "_zelm-doctor._tcp";
constexpr unsigned short kSelfTestPort = 9;  // discard: nothing is served
constexpr unsigned int kProbeMs = 300;
constexpr unsigned int kBrowseMs = 2000;
constexpr unsigned int kInstancesMs = 1000;  // a listed type's instances are mostly known by then
constexpr std::size_t kParallelCalls = 16;
// A daemon confirms a name only after probing for it on its links, three
// probes 250 ms apart; without a link it confirms at once.
constexpr long long kProbingMs = 400;
constexpr const char* kPeersFirewallHint =
    "is the device on this link and publishing? A firewall on it or on this host must let UDP port 5353 "
    "(mDNS) through";

struct Doctor {
    Output& out;
    bool failed = false;

    void report(const char* check, const char* status, const std::string& detail,
                const std::string& hint = "") {
        Event event{"check", {{"check", check}, {"status", status}, {"detail", detail}}};
        if (!hint.empty()) event.fields["hint"] = hint;
        failed = failed || std::string(status) == "fail";
        out.emit(event);
    }
};

std::string joined(const std::vector<std::string>& items, const char* separator = ", ") {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// A host name as DNS compares it: case aside, with or without its final dot.
std::string hostKey(std::string name) {
    if (!name.empty() && name.back() == '.') name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name;
}

struct HostInterfaces {
    std::map<std::string, NetworkInterface> fit;  // up, MULTICAST, an address; loopback carries no mDNS
    std::vector<std::string> unfit, hints;
    std::set<std::string> addresses;  // every address of this host
};

HostInterfaces hostInterfaces() {
    HostInterfaces found;
    for (const auto& [name, interface] : networkInterfaces()) {
        found.addresses.insert(interface.addresses.begin(), interface.addresses.end());
        const bool up = (interface.flags & IFF_UP) != 0, multicast = (interface.flags & IFF_MULTICAST) != 0;
        if ((interface.flags & IFF_LOOPBACK) != 0) continue;
        if (interface.fitForMdns()) {
            found.fit[name] = interface;
            continue;
        }
        found.unfit.push_back(name + (!up ? " down" : !multicast ? " no MULTICAST" : " no address"));
        found.hints.push_back(!up          ? "ip link set " + name + " up"
                              : !multicast ? "ip link set " + name + " multicast on"
                                           : "give " + name + " an address");
    }
    return found;
}

std::vector<std::string> described(const std::map<std::string, NetworkInterface>& interfaces) {
    std::vector<std::string> names;
    for (const auto& [name, interface] : interfaces) names.push_back(name + " " + interface.address);
    return names;
}

// The self-test: a service of this host, registered, browsed, resolved and
// its host looked up; and, as the daemon renames itself after another
// responder took its name, the name it had before.
struct RoundTrip {
    std::string name = "zelm-mdns doctor " + std::to_string(::getpid());
    bool registered = false;
    long long confirmedMs = 0;
    std::set<int> seenOn;  // interface indexes
    Resolved resolved;
    Address address;
    std::string formerHost;
    Address former;
};

RoundTrip roundTrip(const Plugin& plugin) {
    RoundTrip trip;
    const std::string txt = encodeTxt({"doctor=1"});
    auto service = plugin.create<Zelm::MDNS::ServiceRegisterInterface>();
    const auto began = std::chrono::steady_clock::now();
    trip.registered =
        service
            ->doServiceRegister(kSelfTestType, kSelfTestPort, static_cast<unsigned short>(txt.size()),
                                txt.data(), trip.name.c_str(), nullptr, nullptr, 0, 0)
            .ok();
    trip.confirmedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began)
            .count();
    for (const Zelm::MDNS::Info& info : browse(plugin, kSelfTestType, "", kBrowseMs).reports) {
        if (info.serviceName == trip.name) trip.seenOn.insert(info.interfaceIndex);
    }
    if (!trip.seenOn.empty()) trip.resolved = resolve(plugin, trip.name, kSelfTestType, "local.");
    if (!trip.resolved.host.empty()) trip.address = lookup(plugin, trip.resolved.host, kProtocolAny);
    service.lifeCycle->endLifeCycle();
    // avahi-daemon's way out of a host name conflict: "zelm-a" becomes "zelm-a-2".
    std::smatch renamed;
    if (std::regex_match(trip.resolved.host, renamed, std::regex("(.+)-[0-9]+(\\.local\\.?)"))) {
        trip.formerHost = renamed[1].str() + renamed[2].str();
        trip.former = lookup(plugin, trip.formerHost, kProtocolAny);
    }
    return trip;
}

struct Peers {
    Outcome outcome;
    std::set<int> seenOn;
    std::set<std::string> theirs, ours;
};

// The service types `listed` that have instances, each counted as this
// host's own when every instance resolves to `ownHost`; doctor's own left out.
Peers peers(const Plugin& plugin, const Browsed& listed, const std::string& ownHost) {
    Peers found;
    found.outcome = listed.outcome;
    std::vector<ServiceType> types;
    for (const Zelm::MDNS::Info& reply : listed.reports) {
        found.seenOn.insert(reply.interfaceIndex);
        const ServiceType type = serviceTypeOf(reply);
        const bool known = std::any_of(types.begin(), types.end(),
                                       [&](const ServiceType& t) { return t.type == type.type; });
        if (type.type != kSelfTestType && !known) types.push_back(type);
    }
    if (types.empty()) return found;
    const std::string own = hostKey(ownHost);
    std::mutex mutex;
    runInParallel(types.size(), kParallelCalls, [&](std::size_t i) {
        const std::vector<Zelm::MDNS::Info> instances =
            distinct(browse(plugin, types[i].type, "", kInstancesMs).reports);
        // A type whose instances are all gone (the daemon lists a type until its record expires) is no one's.
        if (instances.empty()) return;
        bool theirs = false;
        for (const Zelm::MDNS::Info& instance : instances) {
            const Resolved resolved =
                resolve(plugin, instance.serviceName, instance.regtype, instance.replyDomain);
            theirs = theirs || own.empty() || hostKey(resolved.host) != own;
        }
        std::lock_guard<std::mutex> lock(mutex);
        (theirs ? found.theirs : found.ours).insert(types[i].type);
    });
    return found;
}

bool isOurs(const Address& address, const HostInterfaces& interfaces) {
    return interfaces.addresses.count(address.address.substr(0, address.address.find('%'))) > 0;
}

void reportSelfTest(Doctor& doctor, const RoundTrip& trip, const HostInterfaces& interfaces) {
    const std::string what = "\"" + trip.name + "\" " + kSelfTestType;
    if (!trip.registered) {
        doctor.report("self-test", "fail", "cannot register " + what, "see the daemon line");
    } else if (trip.seenOn.empty()) {
        doctor.report("self-test", "fail",
                      "registered " + what + " (the daemon probed for it on the link for " +
                          std::to_string(trip.confirmedMs) + " ms), yet did not see it within " +
                          std::to_string(kBrowseMs) + " ms",
                      "it hears no mDNS: does a firewall on this host drop incoming UDP port 5353? "
                      "(nft list ruleset; iptables -L)");
    } else if (trip.resolved.host.empty() || !trip.address.outcome.answered()) {
        doctor.report("self-test", "fail", "saw " + what + ", cannot resolve it or look up its host",
                      "see the daemon's log; it must publish addresses (publish-addresses)");
    } else if (!isOurs(trip.address, interfaces)) {
        doctor.report(
            "self-test", "fail",
            "resolved " + what + " to " + trip.resolved.host + " " + trip.address.address +
                ", which is no address of this host",
            "a second mDNS responder answers for this host's name: stop it, or give it a name of its "
            "own");
    } else if (!trip.formerHost.empty() && trip.former.outcome.answered() &&
               !isOurs(trip.former, interfaces)) {
        doctor.report("self-test", "fail",
                      "the daemon's host name is " + trip.resolved.host + ": " + trip.formerHost +
                          " is answered by " + trip.former.address + ", not by this host",
                      "another host or a second mDNS responder claims this host's name " + trip.formerHost +
                          " (on this host or the link): stop it, or give it a name of its own");
    } else {
        std::vector<std::string> seen;
        for (int index : trip.seenOn) seen.push_back(interfaceName(index));
        doctor.report("self-test", "ok",
                      "registered, browsed, resolved to " + trip.resolved.host + " " + trip.address.address +
                          ", withdrew; seen on " + joined(seen));
    }
}

void reportPeers(Doctor& doctor, const Peers& found) {
    const std::string ours =
        found.ours.empty() ? ""
                           : "; this host's own left out: " + joined({found.ours.begin(), found.ours.end()});
    if (found.outcome.ending != Ending::Answered && found.outcome.ending != Ending::NothingAnswered) {
        doctor.report("peers", "fail", "cannot list the service types: " + explain(found.outcome));
    } else if (found.theirs.empty()) {
        doctor.report("peers", "fail", "no other host's service types seen" + ours, kPeersFirewallHint);
    } else {
        doctor.report("peers", "ok",
                      std::to_string(found.theirs.size()) + " service type(s) of other hosts: " +
                          joined({found.theirs.begin(), found.theirs.end()}) + ours);
    }
}

void checkNetwork(Doctor& doctor, const Plugin& plugin, bool daemonUp) {
    const HostInterfaces interfaces = hostInterfaces();
    const std::string unfit = interfaces.unfit.empty() ? "" : "; not fit: " + joined(interfaces.unfit);
    if (!daemonUp || interfaces.fit.empty()) {
        // Without the daemon, the interfaces fit for it stand in for those it uses.
        if (interfaces.fit.empty()) {
            doctor.report("interfaces", "fail",
                          "no interface fit for mDNS (up, MULTICAST, an address)" + unfit,
                          joined(interfaces.hints, "; "));
        } else {
            doctor.report("interfaces", "ok", "fit for mDNS: " + joined(described(interfaces.fit)));
        }
        const char* missing = !daemonUp ? "needs the daemon" : "needs an interface fit for mDNS";
        doctor.report("self-test", "skip", missing);
        doctor.report("peers", "skip", missing);
        return;
    }
    RoundTrip trip;
    Browsed listed;
    // Doctor's own type is left out of the peers, so both browses run at once.
    runInParallel(2, 2, [&](std::size_t i) {
        if (i == 0) trip = roundTrip(plugin);
        if (i == 1) listed = browse(plugin, "_services._dns-sd._udp", "", kBrowseMs);
    });
    const Peers found = peers(plugin, listed, trip.resolved.host);

    // The daemon reports its own service, and the types it hears, on each
    // interface it uses. When it heard nothing, its probing tells that it
    // uses some interface, though not which: the fit ones stand in.
    std::set<int> used = trip.seenOn;
    used.insert(found.seenOn.begin(), found.seenOn.end());
    std::map<std::string, NetworkInterface> usedInterfaces;
    for (const auto& [name, interface] : networkInterfaces()) {
        if (used.count(static_cast<int>(interface.index)) > 0) usedInterfaces[name] = interface;
    }
    if (usedInterfaces.empty() && !(trip.registered && trip.confirmedMs >= kProbingMs)) {
        doctor.report("interfaces", "fail",
                      "the daemon uses none of the interfaces fit for mDNS: " +
                          joined(described(interfaces.fit)) + unfit,
                      "see allow-interfaces and deny-interfaces in avahi-daemon.conf, and the daemon's log");
        doctor.report("self-test", "skip", "needs an interface the daemon uses");
        doctor.report("peers", "skip", "needs an interface the daemon uses");
        return;
    }
    doctor.report("interfaces", "ok",
                  usedInterfaces.empty()
                      ? "the daemon probes on a link; fit for mDNS: " + joined(described(interfaces.fit))
                      : "the daemon uses " + joined(described(usedInterfaces)));
    reportSelfTest(doctor, trip, interfaces);
    reportPeers(doctor, found);
}

// Registration in a unicast domain: the backend's signed DNS UPDATE, taken
// by the zone's server and found again by a query. A host reaches the
// backend only through the plug-in's components, so the check publishes
// the self-test service for a moment and withdraws it, rather than sending
// an update that changes nothing.
void checkWideArea(Doctor& doctor, const Plugin& plugin, const std::string& domain) {
    const std::string name = "zelm-mdns doctor " + std::to_string(::getpid());
    const std::string what = "\"" + name + "\" " + kSelfTestType + " in " + domain;
    const std::string txt = encodeTxt({"doctor=1"});
    auto service = plugin.create<Zelm::MDNS::ServiceRegisterInterface>();
    const auto result =
        service->doServiceRegister(kSelfTestType, kSelfTestPort, static_cast<unsigned short>(txt.size()),
                                   txt.data(), name.c_str(), domain.c_str(), nullptr, 0, 0);
    const Resolved found = result.ok() ? resolve(plugin, name, kSelfTestType, domain) : Resolved{};
    service.lifeCycle->endLifeCycle();
    const int code = result.ok() ? kDNSServiceErr_NoError : static_cast<int32_t>(result.code());
    switch (code) {
        case kDNSServiceErr_NoError:
            if (found.host.empty()) {
                doctor.report(
                    "wide-area", "fail",
                    "the DNS server took the update of " + what + ", yet a query does not find it",
                    "the servers in /etc/resolv.conf must answer for " + domain + " as its primary does");
            } else {
                doctor.report("wide-area", "ok",
                              "the DNS server took a signed update of " + what + ", a query found it at " +
                                  found.host + ", withdrawn again");
            }
            break;
        case kDNSServiceErr_NoAuth:
            doctor.report("wide-area", "fail", "the DNS server refused the update of " + what,
                          "the key for " + domain +
                              " comes from /etc/zelm-mdns/dnssd-update.conf (or the file "
                              "ZELM_DNSSD_UPDATE_CONFIG names); the server must allow updates by it");
            break;
        case kDNSServiceErr_NoSuchName:
            doctor.report("wide-area", "fail", "no DNS zone holds " + domain,
                          "the servers in /etc/resolv.conf know no zone (SOA) for it: check its spelling");
            break;
        case kDNSServiceErr_Timeout:
            doctor.report("wide-area", "fail", "no DNS server answered for " + domain,
                          "see the nameserver lines of /etc/resolv.conf, or the server line of "
                          "/etc/zelm-mdns/dnssd-update.conf");
            break;
        default:
            doctor.report("wide-area", "fail", "cannot register " + what + ": " + codeAndText(code));
    }
}

}  // namespace

int runDoctor(const Plugin* plugin, Output& out, const std::string& pluginPath, const std::string& loadError,
              const DoctorOptions& options) {
    Doctor doctor{out};
    if (plugin == nullptr) {
        doctor.report("plug-in", "fail", loadError,
                      "--plugin or ZELM_MDNS_PLUGIN names the file; ldd on it shows what it lacks");
        for (const char* check : {"daemon", "interfaces", "self-test", "peers"}) {
            doctor.report(check, "skip", "needs the plug-in");
        }
        if (!options.domain.empty()) doctor.report("wide-area", "skip", "needs the plug-in");
        return exitFailure;
    }
    char real[PATH_MAX];
    const std::string file = ::realpath(pluginPath.c_str(), real) != nullptr ? real : pluginPath;
    const std::size_t so = file.rfind(".so.");
    doctor.report(
        "plug-in", "ok",
        "loaded " + file + (so == std::string::npos ? "" : " (version " + file.substr(so + 4) + ")"));

    const Outcome probe = browse(*plugin, kSelfTestType, "", kProbeMs).outcome;
    const bool daemonUp = probe.ending == Ending::NothingAnswered || probe.ending == Ending::Answered;
    doctor.report("daemon", daemonUp ? "ok" : "fail",
                  !daemonUp ? explain(probe)
                            : "a browse started" +
                                  (probe.startMs < 0 ? "" : " in " + std::to_string(probe.startMs) + " ms"),
                  daemonUp ? "" : "start avahi-daemon and the D-Bus system bus");
    checkNetwork(doctor, *plugin, daemonUp);
    if (!options.domain.empty()) checkWideArea(doctor, *plugin, options.domain);
    return doctor.failed ? exitFailure : exitSuccess;
}

}  // namespace Zelm::Tool

// zelm-mdns doctor: "why can't I see my device?" One line per check, from
// the plug-in used as any host uses it, and the host's interfaces.

#include "Commands.h"
#include "Interfaces.h"
#include "TxtRecord.h"

#include <zelm/mdns/ServiceRegisterInterface.h>

#include <net/if.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <set>

namespace Zelm::Tool {

namespace {

constexpr const char* kSelfTestType = "_zelm-doctor._tcp";
constexpr unsigned short kSelfTestPort = 9;  // discard: nothing is served
constexpr unsigned int kProbeMs = 300;
constexpr unsigned int kBrowseMs = 2000;

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

// Fit for mDNS: up, MULTICAST and an address. Loopback carries no mDNS.
std::size_t checkInterfaces(Doctor& doctor) {
    std::vector<std::string> fit, unfit, hints;
    for (const auto& [name, interface] : networkInterfaces()) {
        const bool up = (interface.flags & IFF_UP) != 0, multicast = (interface.flags & IFF_MULTICAST) != 0;
        if ((interface.flags & IFF_LOOPBACK) != 0) continue;
        if (interface.fitForMdns()) {
            fit.push_back(name + " " + interface.address);
            continue;
        }
        unfit.push_back(name + (!up ? " down" : !multicast ? " no MULTICAST" : " no address"));
        hints.push_back(!up          ? "ip link set " + name + " up"
                        : !multicast ? "ip link set " + name + " multicast on"
                                     : "give " + name + " an address");
    }
    if (unfit.empty()) {
        doctor.report("interfaces", "ok",
                      fit.empty() ? "no interface but loopback" : "up with MULTICAST: " + joined(fit));
    } else {
        doctor.report("interfaces", "fail",
                      "mDNS cannot use " + joined(unfit) + (fit.empty() ? "" : "; fit: " + joined(fit)),
                      joined(hints, "; "));
    }
    return fit.size();
}

void checkRoundTrip(Doctor& doctor, const Plugin& plugin) {
    const std::string name = "zelm-mdns doctor " + std::to_string(::getpid());
    const std::string txt = encodeTxt({"doctor=1"});
    auto service = plugin.create<Zelm::MDNS::ServiceRegisterInterface>();
    const Zelm::Error registered =
        service->doServiceRegister(kSelfTestType, kSelfTestPort, static_cast<unsigned short>(txt.size()),
                                   txt.data(), name.c_str(), nullptr, nullptr, 0, 0);
    std::set<std::string> seenOn;
    for (const Zelm::MDNS::Info& info : browse(plugin, kSelfTestType, "", kBrowseMs).reports) {
        if (info.serviceName == name) seenOn.insert(interfaceName(info.interfaceIndex));
    }
    const Resolved resolved = seenOn.empty() ? Resolved{} : resolve(plugin, name, kSelfTestType, "local.");
    const Address address = resolved.host.empty() ? Address{} : lookup(plugin, resolved.host, kProtocolAny);
    service.lifeCycle->endLifeCycle();

    const std::string what = "\"" + name + "\" " + kSelfTestType;
    if (!registered.ok()) {
        doctor.report("self-test", "fail", "cannot register " + what, "see the daemon line");
    } else if (seenOn.empty()) {
        doctor.report("self-test", "fail",
                      "registered " + what + ", not seen within " + std::to_string(kBrowseMs) + " ms",
                      "the daemon publishes on no interface: see the interfaces line and the daemon's log");
    } else if (resolved.host.empty() || !address.outcome.answered()) {
        doctor.report("self-test", "fail", "saw " + what + ", cannot resolve it or look up its host",
                      "see the daemon's log; it must publish addresses (publish-addresses)");
    } else {
        doctor.report("self-test", "ok",
                      "registered, browsed, resolved to " + resolved.host + " " + address.address +
                          ", withdrew; seen on " + joined({seenOn.begin(), seenOn.end()}));
    }
}

void checkPeers(Doctor& doctor, const Plugin& plugin) {
    const Browsed browsed = browse(plugin, "_services._dns-sd._udp", "", kBrowseMs);
    std::set<std::string> types;
    for (const Zelm::MDNS::Info& reply : browsed.reports) types.insert(serviceTypeOf(reply).type);
    if (browsed.outcome.ending != Ending::Answered && browsed.outcome.ending != Ending::NothingAnswered) {
        doctor.report("peers", "fail", "cannot list the service types: " + explain(browsed.outcome));
    } else {
        doctor.report("peers", types.empty() ? "fail" : "ok",
                      std::to_string(types.size()) + " service type(s) on the network" +
                          (types.empty() ? "" : ": " + joined({types.begin(), types.end()})),
                      types.empty() ? "is the device on this link, and publishing?" : "");
    }
}

}  // namespace

int runDoctor(const Plugin& plugin, Output& out, const std::string& pluginPath) {
    Doctor doctor{out};
    char real[PATH_MAX];
    const std::string file = ::realpath(pluginPath.c_str(), real) != nullptr ? real : pluginPath;
    const std::size_t so = file.rfind(".so.");
    doctor.report(
        "plug-in", "ok",
        "loaded " + file + (so == std::string::npos ? "" : " (version " + file.substr(so + 4) + ")"));

    const Outcome probe = browse(plugin, kSelfTestType, "", kProbeMs).outcome;
    const bool daemonUp = probe.ending == Ending::NothingAnswered || probe.ending == Ending::Answered;
    doctor.report("daemon", daemonUp ? "ok" : "fail",
                  !daemonUp ? explain(probe)
                            : "a browse started" +
                                  (probe.startMs < 0 ? "" : " in " + std::to_string(probe.startMs) + " ms"),
                  daemonUp ? "" : "start avahi-daemon and the D-Bus system bus");

    const std::size_t fit = checkInterfaces(doctor);
    // The network checks need both; without them they could only fail again.
    const std::string missing = !daemonUp  ? "needs the daemon"
                                : fit == 0 ? "needs an interface fit for mDNS"
                                           : "";
    if (missing.empty()) {
        checkRoundTrip(doctor, plugin);
        checkPeers(doctor, plugin);
    } else {
        doctor.report("self-test", "skip", missing);
        doctor.report("peers", "skip", missing);
    }
    return doctor.failed ? exitFailure : exitSuccess;
}

}  // namespace Zelm::Tool

// zelm-mdns doctor: "why can't I see my device?" One line per check, from
// the plug-in used as any host uses it, and the host's interfaces.

#include "Commands.h"
#include "TxtRecord.h"

#include <zelm/mdns/ServiceRegisterInterface.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
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

struct Interface {
    unsigned int flags = 0;
    std::string address;  // the first IPv4 address, else the first IPv6 one
};

std::map<std::string, Interface> interfaces() {
    std::map<std::string, Interface> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        Interface& interface = found[entry->ifa_name];
        interface.flags = entry->ifa_flags;
        const int family = entry->ifa_addr != nullptr ? entry->ifa_addr->sa_family : AF_UNSPEC;
        if ((family != AF_INET && family != AF_INET6) || (family == AF_INET6 && !interface.address.empty())) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw =
            family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr);
        if (::inet_ntop(family, raw, text, sizeof text) != nullptr) interface.address = text;
    }
    ::freeifaddrs(list);
    return found;
}

class Doctor {
public:
    explicit Doctor(Output& out) : out_(out) {}

    void report(const char* check, const char* status, const std::string& detail,
                const std::string& hint = "") {
        Event event{"check", {{"check", check}, {"status", status}, {"detail", detail}}};
        if (!hint.empty()) event.fields["hint"] = hint;
        failed_ = failed_ || std::string(status) == "fail";
        out_.emit(event);
    }
    bool failed() const { return failed_; }

private:
    Output& out_;
    bool failed_ = false;
};

void checkPlugin(Doctor& doctor, const std::string& path) {
    char real[PATH_MAX];
    const std::string file = ::realpath(path.c_str(), real) != nullptr ? real : path;
    const std::size_t so = file.rfind(".so.");
    doctor.report(
        "plug-in", "ok",
        "loaded " + file + (so == std::string::npos ? "" : " (version " + file.substr(so + 4) + ")"));
}

// Fit for mDNS: up, MULTICAST and an address. Loopback carries no mDNS.
std::size_t checkInterfaces(Doctor& doctor) {
    std::string fit;
    std::string unfit;
    std::string hint;
    std::size_t fitCount = 0;
    for (const auto& [name, interface] : interfaces()) {
        if ((interface.flags & IFF_LOOPBACK) != 0) continue;
        const char* problem = (interface.flags & IFF_UP) == 0          ? "down"
                              : (interface.flags & IFF_MULTICAST) == 0 ? "no MULTICAST"
                              : interface.address.empty()              ? "no address"
                                                                       : nullptr;
        if (problem == nullptr) {
            fit += (fit.empty() ? "" : ", ") + name + " " + interface.address;
            ++fitCount;
            continue;
        }
        unfit += (unfit.empty() ? "" : ", ") + name + " " + problem;
        hint += std::string(hint.empty() ? "" : "; ") +
                ((interface.flags & IFF_UP) == 0          ? "ip link set " + name + " up"
                 : (interface.flags & IFF_MULTICAST) == 0 ? "ip link set " + name + " multicast on"
                                                          : "give " + name + " an address");
    }
    if (unfit.empty()) {
        doctor.report("interfaces", "ok",
                      fitCount == 0 ? "no interface but loopback" : "up with MULTICAST: " + fit);
    } else {
        doctor.report("interfaces", "fail", "mDNS cannot use " + unfit + (fit.empty() ? "" : "; fit: " + fit),
                      hint);
    }
    return fitCount;
}

void checkRoundTrip(Doctor& doctor, const Plugin& plugin) {
    const std::string name = "zelm-mdns doctor " + std::to_string(::getpid());
    const std::string txt = encodeTxt({"doctor=1"});
    auto service = plugin.create<Zelm::MDNS::ServiceRegisterInterface>();
    const Zelm::Error registered =
        service->doServiceRegister(kSelfTestType, kSelfTestPort, static_cast<unsigned short>(txt.size()),
                                   txt.data(), name.c_str(), nullptr, nullptr, 0, 0);
    if (!registered.ok()) {
        doctor.report(
            "self-test", "fail",
            "cannot register \"" + name + "\": code " + std::to_string(static_cast<int>(registered.code())),
            "see the daemon line");
        return;
    }
    std::set<std::string> seenOn;
    for (const Zelm::MDNS::Info& info : browse(plugin, kSelfTestType, "", kBrowseMs).reports) {
        if (info.serviceName == name) seenOn.insert(interfaceName(info.interfaceIndex));
    }
    const Resolved resolved = seenOn.empty() ? Resolved{} : resolve(plugin, name, kSelfTestType, "local.");
    const Address address = resolved.host.empty() ? Address{} : lookup(plugin, resolved.host, kProtocolAny);
    service.lifeCycle->endLifeCycle();

    std::string interfacesText;
    for (const std::string& interface : seenOn)
        interfacesText += (interfacesText.empty() ? "" : ", ") + interface;
    if (seenOn.empty()) {
        doctor.report(
            "self-test", "fail",
            "registered \"" + name + "\" but did not see it within " + std::to_string(kBrowseMs) + " ms",
            "the daemon publishes on no interface: see the interfaces line and the daemon's log");
    } else if (!resolved.outcome.answered() || resolved.port != kSelfTestPort) {
        doctor.report("self-test", "fail",
                      "saw \"" + name + "\" but cannot resolve it: " + explain(resolved.outcome),
                      "see the daemon's log");
    } else if (!address.outcome.answered()) {
        doctor.report("self-test", "fail",
                      "no address for this host " + resolved.host + ": " + explain(address.outcome),
                      "check that the daemon publishes addresses (publish-addresses)");
    } else {
        doctor.report("self-test", "ok",
                      "registered, browsed, resolved to " + resolved.host + " " + address.address +
                          ", withdrew; seen on " + interfacesText);
    }
}

void checkPeers(Doctor& doctor, const Plugin& plugin) {
    std::set<std::string> types;
    const Browsed browsed = browse(plugin, "_services._dns-sd._udp", "", kBrowseMs);
    for (const Zelm::MDNS::Info& reply : browsed.reports) types.insert(serviceTypeOf(reply).type);
    std::string list;
    for (const std::string& type : types) list += (list.empty() ? "" : ", ") + type;
    if (!types.empty()) {
        doctor.report("peers", "ok",
                      std::to_string(types.size()) + " service type(s) on the network: " + list);
    } else if (browsed.outcome.ending == Ending::NothingAnswered) {
        doctor.report("peers", "fail", "no service types: " + explain(browsed.outcome),
                      "is the device on this link, and publishing?");
    } else {
        doctor.report("peers", "fail", "cannot list the service types: " + explain(browsed.outcome));
    }
}

}  // namespace

int runDoctor(const Plugin& plugin, Output& out, const std::string& pluginPath) {
    Doctor doctor(out);
    checkPlugin(doctor, pluginPath);

    const Browsed probe = browse(plugin, kSelfTestType, "", kProbeMs);
    const bool daemonUp =
        probe.outcome.ending == Ending::NothingAnswered || probe.outcome.ending == Ending::Answered;
    if (daemonUp) {
        doctor.report("daemon", "ok",
                      probe.outcome.startMs >= 0
                          ? "a browse started in " + std::to_string(probe.outcome.startMs) + " ms"
                          : "a browse started");
    } else {
        doctor.report("daemon", "fail", explain(probe.outcome),
                      "start avahi-daemon and the D-Bus system bus");
    }

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
    return doctor.failed() ? exitFailure : exitSuccess;
}

}  // namespace Zelm::Tool

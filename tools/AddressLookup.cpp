// Address lookups: the address families in the order users expect, and the
// zone of a link-local address, which the plug-in does not hand a host.

#include "Calls.h"

#include "CommandLine.h"
#include "Errand.h"
#include "Interfaces.h"
#include "Parallel.h"

#include <dns_sd.h>
#include <zelm/mdns/AddressInfoInterface.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>

namespace Zelm::Tool {

namespace {

bool isAddressLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    const std::string withoutZone = host.substr(0, host.find('%'));
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, withoutZone.c_str(), address) == 1;
}

bool isLinkLocal(const Address& found) {
    in6_addr address{};
    return found.family == AF_INET6 && ::inet_pton(AF_INET6, found.address.c_str(), &address) == 1 &&
           IN6_IS_ADDR_LINKLOCAL(&address);
}

using AddressInfo = Component<Zelm::MDNS::AddressInfoInterface>;

// One getAddressInfo call. The daemon's negative answer (no such host, or a
// name it will not look up) reaches a host as code 0 without an address.
Address lookupOnce(const AddressInfo& component, const std::string& host, unsigned int protocol,
                   unsigned int interfaceIndex) {
    WatchedCall call(kAnswerTimeoutMs, [component] { return component->isInitialized(); });
    const Zelm::Error result = component->getAddressInfo(host.c_str(), protocol, interfaceIndex, 0);
    call.finish();
    Address address;
    const int family = result.ok() ? component->getSocketAddress().sa_family : AF_UNSPEC;
    if (family == AF_INET || family == AF_INET6) {
        address.address = component->getSocketAddressAsString();
        address.family = family;
    }
    address.outcome = judge(call, result, !address.address.empty());
    if (result.ok() && address.address.empty()) {
        address.outcome.ending = Ending::NoSuchHost;
        address.outcome.code = kDNSServiceErr_NoSuchRecord;
    }
    return address;
}

// Both families at once, so that the answer takes one time-out at most; the
// IPv4 answer wins, and once it is in, the IPv6 lookup is not waited for.
Address lookupPreferringIPv4(const Plugin& plugin, const std::string& host, unsigned int interfaceIndex) {
    auto ipv4 = std::make_shared<Address>(), ipv6 = std::make_shared<Address>();
    Errand first, second;
    first.start([ipv4, component = plugin.create<Zelm::MDNS::AddressInfoInterface>(), host, interfaceIndex] {
        *ipv4 = lookupOnce(component, host, protocolIPv4, interfaceIndex);
    });
    second.start([ipv6, component = plugin.create<Zelm::MDNS::AddressInfoInterface>(), host, interfaceIndex] {
        *ipv6 = lookupOnce(component, host, protocolIPv6, interfaceIndex);
    });
    first.wait([] { return false; });
    if (ipv4->outcome.answered()) {
        second.wait([] { return true; });
        return *ipv4;
    }
    second.wait([] { return false; });
    return ipv6->outcome.answered() ? *ipv6 : *ipv4;
}

// The plug-in hands a host the address without its scope: the zone is the
// interface that answers a lookup restricted to it with the same address.
std::string zoneOf(const Plugin& plugin, const std::string& host, const std::string& address) {
    std::vector<unsigned int> candidates;
    for (const auto& [name, interface] : networkInterfaces()) {
        if (interface.fitForMdns() && interface.linkLocalIPv6) candidates.push_back(interface.index);
    }
    std::vector<Address> answers(candidates.size());
    runInParallel(candidates.size(), candidates.size(), [&](std::size_t i) {
        answers[i] =
            lookupOnce(plugin.create<Zelm::MDNS::AddressInfoInterface>(), host, protocolIPv6, candidates[i]);
    });
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (answers[i].address == address) return interfaceName(static_cast<int>(candidates[i]));
    }
    return "";
}

}  // namespace

std::shared_ptr<Address> probeDaemon(const Plugin& plugin, Errand& errand) {
    for (const auto& [name, interface] : networkInterfaces()) {
        if ((interface.flags & IFF_LOOPBACK) == 0) continue;
        auto probed = std::make_shared<Address>();
        errand.start(
            [probed, component = plugin.create<Zelm::MDNS::AddressInfoInterface>(), index = interface.index] {
                *probed = lookupOnce(component, "zelm-mdns-probe.local.", protocolIPv4, index);
            });
        return probed;
    }
    return nullptr;
}

Address lookup(const Plugin& plugin, const std::string& host, unsigned int protocol,
               unsigned int interfaceIndex) {
    if (isAddressLiteral(host)) {
        Address refused;
        refused.outcome.ending = Ending::NotAHostName;
        refused.outcome.code = kDNSServiceErr_BadParam;
        return refused;
    }
    Address found = protocol == kProtocolAny ? lookupPreferringIPv4(plugin, host, interfaceIndex)
                                             : lookupOnce(plugin.create<Zelm::MDNS::AddressInfoInterface>(),
                                                          host, protocol, interfaceIndex);
    if (isLinkLocal(found)) {
        const std::string zone = interfaceIndex > 0 ? interfaceName(static_cast<int>(interfaceIndex))
                                                    : zoneOf(plugin, host, found.address);
        if (!zone.empty()) found.address += "%" + zone;
    }
    return found;
}

}  // namespace Zelm::Tool

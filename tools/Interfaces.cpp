#include "Interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

namespace Zelm::Tool {

bool NetworkInterface::fitForMdns() const {
    return (flags & IFF_UP) != 0 && (flags & IFF_MULTICAST) != 0 && (flags & IFF_LOOPBACK) == 0 &&
           !address.empty();
}

std::map<std::string, NetworkInterface> networkInterfaces() {
    std::map<std::string, NetworkInterface> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        NetworkInterface& interface = found[entry->ifa_name];
        interface.index = ::if_nametoindex(entry->ifa_name);
        interface.flags = entry->ifa_flags;
        const int family = entry->ifa_addr != nullptr ? entry->ifa_addr->sa_family : AF_UNSPEC;
        if (family == AF_INET6) {
            const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            interface.linkLocalIPv6 = interface.linkLocalIPv6 || IN6_IS_ADDR_LINKLOCAL(&ipv6->sin6_addr);
        }
        char text[NI_MAXHOST] = {};
        const socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if ((family != AF_INET && family != AF_INET6) ||
            ::getnameinfo(entry->ifa_addr, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
            continue;
        }
        const std::string numeric(text, std::strcspn(text, "%"));
        interface.addresses.push_back(numeric);
        if (family == AF_INET || interface.address.empty()) interface.address = numeric;
    }
    ::freeifaddrs(list);
    return found;
}

std::string interfaceName(int index) {
    char name[IF_NAMESIZE] = {};
    if (index <= 0) return "";
    if (::if_indextoname(static_cast<unsigned int>(index), name) != nullptr) return name;
    return std::to_string(index);
}

}  // namespace Zelm::Tool

#include "InterfaceIndex.h"

#include <net/if.h>

#include <climits>

namespace Zelm::DnsSd {

DNSServiceErrorType toAvahiInterface(uint32_t interfaceIndex, AvahiIfIndex& avahiInterface) {
    if (interfaceIndex == kDNSServiceInterfaceIndexAny) {
        avahiInterface = AVAHI_IF_UNSPEC;
        return kDNSServiceErr_NoError;
    }
    if (interfaceIndex == kDNSServiceInterfaceIndexLocalOnly) {
        return kDNSServiceErr_Unsupported;
    }
    char name[IF_NAMESIZE];
    if (interfaceIndex > static_cast<uint32_t>(INT_MAX) ||
        ::if_indextoname(interfaceIndex, name) == nullptr) {
        return kDNSServiceErr_BadInterfaceIndex;
    }
    avahiInterface = static_cast<AvahiIfIndex>(interfaceIndex);
    return kDNSServiceErr_NoError;
}

uint32_t fromAvahiInterface(AvahiIfIndex avahiInterface) {
    return avahiInterface < 0 ? kDNSServiceInterfaceIndexAny : static_cast<uint32_t>(avahiInterface);
}

}  // namespace Zelm::DnsSd

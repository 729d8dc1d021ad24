#include "InterfaceIndex.h"

#include <dns_sd.h>

#include <climits>

namespace Zelm::DnsSd {

bool toAvahiInterface(uint32_t interfaceIndex, AvahiIfIndex& avahiInterface) {
    if (interfaceIndex == kDNSServiceInterfaceIndexAny) {
        avahiInterface = AVAHI_IF_UNSPEC;
        return true;
    }
    if (interfaceIndex > static_cast<uint32_t>(INT_MAX)) {
        return false;
    }
    avahiInterface = static_cast<AvahiIfIndex>(interfaceIndex);
    return true;
}

uint32_t fromAvahiInterface(AvahiIfIndex avahiInterface) {
    return avahiInterface < 0 ? kDNSServiceInterfaceIndexAny : static_cast<uint32_t>(avahiInterface);
}

}  // namespace Zelm::DnsSd

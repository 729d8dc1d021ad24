#include "names/InterfaceIndex.h"

#include <net/if.h>

#include <climits>

namespace Zelm::DnsSd {

DNSServiceErrorType toDaemonInterface(uint32_t interfaceIndex, Daemon::Interface& daemonInterface) {
    if (interfaceIndex == kDNSServiceInterfaceIndexAny) {
        daemonInterface = Daemon::kAnyInterface;
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
    daemonInterface = static_cast<Daemon::Interface>(interfaceIndex);
    return kDNSServiceErr_NoError;
}

uint32_t fromDaemonInterface(Daemon::Interface daemonInterface) {
    return daemonInterface < 0 ? kDNSServiceInterfaceIndexAny : static_cast<uint32_t>(daemonInterface);
}

}  // namespace Zelm::DnsSd

#pragma once

#include "daemon/Protocol.h"

#include <dns_sd.h>

#include <cstdint>

namespace Zelm::DnsSd {

// A DNS-SD interface index as the daemon takes it: 0 (any) is the daemon's
// "any interface", others are kernel interface indexes. The daemon takes any
// number and then simply finds nothing, so an index that names no interface
// of this host is refused here: kDNSServiceErr_BadInterfaceIndex.
// kDNSServiceInterfaceIndexLocalOnly, which the daemon has no counterpart
// for, is kDNSServiceErr_Unsupported.
DNSServiceErrorType toDaemonInterface(uint32_t interfaceIndex, Daemon::Interface& daemonInterface);

// An interface the daemon reports, as a DNS-SD interface index.
uint32_t fromDaemonInterface(Daemon::Interface daemonInterface);

}  // namespace Zelm::DnsSd

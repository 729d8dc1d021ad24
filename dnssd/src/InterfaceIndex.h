#pragma once

#include <avahi-common/address.h>

#include <cstdint>

namespace Zelm::DnsSd {

// A DNS-SD interface index as the daemon takes it: 0 (any) is
// AVAHI_IF_UNSPEC, others are kernel interface indexes. False for
// kDNSServiceInterfaceIndexLocalOnly, which the daemon has no counterpart
// for, and for values no kernel index can have.
bool toAvahiInterface(uint32_t interfaceIndex, AvahiIfIndex& avahiInterface);

// An interface the daemon reports, as a DNS-SD interface index.
uint32_t fromAvahiInterface(AvahiIfIndex avahiInterface);

}  // namespace Zelm::DnsSd

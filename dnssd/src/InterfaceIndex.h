#pragma once

#include <dns_sd.h>

#include <avahi-common/address.h>

#include <cstdint>

namespace Zelm::DnsSd {

// A DNS-SD interface index as the daemon takes it: 0 (any) is
// AVAHI_IF_UNSPEC, others are kernel interface indexes. The daemon takes any
// number and then simply finds nothing, so an index that names no interface
// of this host is refused here: kDNSServiceErr_BadInterfaceIndex.
// kDNSServiceInterfaceIndexLocalOnly, which the daemon has no counterpart
// for, is kDNSServiceErr_Unsupported.
DNSServiceErrorType toAvahiInterface(uint32_t interfaceIndex, AvahiIfIndex& avahiInterface);

// An interface the daemon reports, as a DNS-SD interface index.
uint32_t fromAvahiInterface(AvahiIfIndex avahiInterface);

}  // namespace Zelm::DnsSd

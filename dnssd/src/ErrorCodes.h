#pragma once

#include <dns_sd.h>

namespace Zelm::DnsSd {

// The DNS-SD code closest to an Avahi error code (AVAHI_OK gives NoError).
// A daemon that is missing or gone, and a D-Bus failure, give
// kDNSServiceErr_ServiceNotRunning; invalid names and arguments BadParam.
DNSServiceErrorType fromAvahiError(int avahiError);

}  // namespace Zelm::DnsSd

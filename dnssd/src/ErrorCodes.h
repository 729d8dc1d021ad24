#pragma once

#include <dns_sd.h>

namespace Zelm::DnsSd {

// The DNS-SD code closest to an Avahi error code (AVAHI_OK gives NoError).
// A daemon that is missing or gone, and a D-Bus failure, give
// kDNSServiceErr_ServiceNotRunning; invalid names and arguments BadParam.
DNSServiceErrorType fromAvahiError(int avahiError);

// The same for an error the daemon reported: never NoError, since a failure
// that came without a code is still a failure (kDNSServiceErr_Unknown).
DNSServiceErrorType failureFromAvahiError(int avahiError);

}  // namespace Zelm::DnsSd

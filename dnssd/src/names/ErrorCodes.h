#pragma once

#include <dns_sd.h>

namespace Zelm::DnsSd {

// The DNS-SD code closest to an error the daemon or the bus reported, by the
// D-Bus error name. A daemon that is missing or gone and a failing bus give
// kDNSServiceErr_ServiceNotRunning; invalid names and arguments BadParam;
// every shortage of resources NoMemory, except the daemon's limit of objects
// per client (kObjectLimitReached, below). Never NoError: a failure that came
// with a name this table does not know is still a failure (Unknown).
DNSServiceErrorType fromDaemonError(const char* errorName);

// Inside the backend only: the daemon holds as many objects for this client
// as it allows, so another connection may take the request. A caller sees
// it as kDNSServiceErr_NoMemory (publicCode).
constexpr DNSServiceErrorType kObjectLimitReached = -65800;

inline DNSServiceErrorType publicCode(DNSServiceErrorType code) {
    return code == kObjectLimitReached ? kDNSServiceErr_NoMemory : code;
}

}  // namespace Zelm::DnsSd

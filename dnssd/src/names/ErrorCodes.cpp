#include "names/ErrorCodes.h"

#include <cstring>

namespace Zelm::DnsSd {

namespace {

struct NamedError {
    const char* name;  // after "org.freedesktop.Avahi." or "org.freedesktop.DBus.Error."
    DNSServiceErrorType code;
};

constexpr NamedError kDaemonErrors[] = {
    {"NoDaemonError", kDNSServiceErr_ServiceNotRunning},
    {"DisconnectedError", kDNSServiceErr_ServiceNotRunning},
    {"DBusError", kDNSServiceErr_ServiceNotRunning},
    {"NoMemoryError", kDNSServiceErr_NoMemory},
    {"TooManyClientsError", kDNSServiceErr_NoMemory},
    {"TooManyObjectsError", kObjectLimitReached},
    {"TooManyEntriesError", kDNSServiceErr_NoMemory},
    {"CollisionError", kDNSServiceErr_NameConflict},
    {"TimeoutError", kDNSServiceErr_Timeout},
    {"NotFoundError", kDNSServiceErr_NoSuchRecord},
    {"DNSNXDOMAIN", kDNSServiceErr_NoSuchRecord},
    {"DNSNXRRSET", kDNSServiceErr_NoSuchRecord},
    {"BadStateError", kDNSServiceErr_BadState},
    {"InvalidOperationError", kDNSServiceErr_BadState},
    {"InvalidObjectError", kDNSServiceErr_BadReference},
    {"InvalidInterfaceError", kDNSServiceErr_BadInterfaceIndex},
    {"InvalidFlagsError", kDNSServiceErr_BadFlags},
    {"InvalidHostNameError", kDNSServiceErr_BadParam},
    {"InvalidDomainNameError", kDNSServiceErr_BadParam},
    {"InvalidTTLError", kDNSServiceErr_BadParam},
    {"IsPatternError", kDNSServiceErr_BadParam},
    {"InvalidRecordError", kDNSServiceErr_BadParam},
    {"InvalidServiceNameError", kDNSServiceErr_BadParam},
    {"InvalidServiceTypeError", kDNSServiceErr_BadParam},
    {"InvalidPortError", kDNSServiceErr_BadParam},
    {"InvalidKeyError", kDNSServiceErr_BadParam},
    {"InvalidAddressError", kDNSServiceErr_BadParam},
    {"InvalidProtocolError", kDNSServiceErr_BadParam},
    {"InvalidServiceSubtypeError", kDNSServiceErr_BadParam},
    {"InvalidRDataError", kDNSServiceErr_BadParam},
    {"InvalidDNSClassError", kDNSServiceErr_BadParam},
    {"InvalidDNSTypeError", kDNSServiceErr_BadParam},
    {"InvalidArgumentError", kDNSServiceErr_BadParam},
    {"IsEmptyError", kDNSServiceErr_BadParam},
    {"AccessDeniedError", kDNSServiceErr_Refused},
    {"NotPermittedError", kDNSServiceErr_Refused},
    {"DNSREFUSED", kDNSServiceErr_Refused},
    {"DNSNOTAUTH", kDNSServiceErr_NoAuth},
    {"NotSupportedError", kDNSServiceErr_Unsupported},
    {"DNSNOTIMP", kDNSServiceErr_Unsupported},
    {"VersionMismatchError", kDNSServiceErr_Incompatible},
    {"NoNetworkError", kDNSServiceErr_NoRouter},
};

// The bus's own errors: the daemon is not on it, or the bus is going away.
constexpr NamedError kBusErrors[] = {
    {"ServiceUnknown", kDNSServiceErr_ServiceNotRunning},
    {"NameHasNoOwner", kDNSServiceErr_ServiceNotRunning},
    {"NoReply", kDNSServiceErr_ServiceNotRunning},
    {"Disconnected", kDNSServiceErr_ServiceNotRunning},
    {"NoServer", kDNSServiceErr_ServiceNotRunning},
    {"Timeout", kDNSServiceErr_ServiceNotRunning},
    {"TimedOut", kDNSServiceErr_ServiceNotRunning},
    {"UnknownObject", kDNSServiceErr_ServiceNotRunning},
    {"NoMemory", kDNSServiceErr_NoMemory},
    {"LimitsExceeded", kDNSServiceErr_NoMemory},
    {"AccessDenied", kDNSServiceErr_Refused},
};

template <std::size_t N>
DNSServiceErrorType lookUp(const NamedError (&table)[N], const char* name) {
    for (const NamedError& entry : table) {
        if (std::strcmp(entry.name, name) == 0) {
            return entry.code;
        }
    }
    return kDNSServiceErr_Unknown;
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

DNSServiceErrorType fromDaemonError(const char* errorName) {
    static const char kDaemonPrefix[] = "org.freedesktop.Avahi.";
    static const char kBusPrefix[] = "org.freedesktop.DBus.Error.";
    if (errorName == nullptr) {
        return kDNSServiceErr_Unknown;
    }
    if (startsWith(errorName, kDaemonPrefix)) {
        return lookUp(kDaemonErrors, errorName + sizeof kDaemonPrefix - 1);
    }
    if (startsWith(errorName, kBusPrefix)) {
        return lookUp(kBusErrors, errorName + sizeof kBusPrefix - 1);
    }
    return kDNSServiceErr_Unknown;
}

}  // namespace Zelm::DnsSd

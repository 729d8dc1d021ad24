#include "ErrorCodes.h"

#include <avahi-common/error.h>

namespace Zelm::DnsSd {

DNSServiceErrorType fromAvahiError(int avahiError) {
    switch (avahiError) {
        case AVAHI_OK:
            return kDNSServiceErr_NoError;
        case AVAHI_ERR_NO_DAEMON:
        case AVAHI_ERR_DISCONNECTED:
        case AVAHI_ERR_DBUS_ERROR:
            return kDNSServiceErr_ServiceNotRunning;
        case AVAHI_ERR_NO_MEMORY:
        case AVAHI_ERR_TOO_MANY_CLIENTS:
        case AVAHI_ERR_TOO_MANY_OBJECTS:
        case AVAHI_ERR_TOO_MANY_ENTRIES:
            return kDNSServiceErr_NoMemory;
        case AVAHI_ERR_COLLISION:
            return kDNSServiceErr_NameConflict;
        case AVAHI_ERR_TIMEOUT:
            return kDNSServiceErr_Timeout;
        case AVAHI_ERR_NOT_FOUND:
        case AVAHI_ERR_DNS_NXDOMAIN:
        case AVAHI_ERR_DNS_NXRRSET:
            return kDNSServiceErr_NoSuchRecord;
        case AVAHI_ERR_BAD_STATE:
        case AVAHI_ERR_INVALID_OPERATION:
            return kDNSServiceErr_BadState;
        case AVAHI_ERR_INVALID_OBJECT:
            return kDNSServiceErr_BadReference;
        case AVAHI_ERR_INVALID_INTERFACE:
            return kDNSServiceErr_BadInterfaceIndex;
        case AVAHI_ERR_INVALID_FLAGS:
            return kDNSServiceErr_BadFlags;
        case AVAHI_ERR_INVALID_HOST_NAME:
        case AVAHI_ERR_INVALID_DOMAIN_NAME:
        case AVAHI_ERR_INVALID_TTL:
        case AVAHI_ERR_IS_PATTERN:
        case AVAHI_ERR_INVALID_RECORD:
        case AVAHI_ERR_INVALID_SERVICE_NAME:
        case AVAHI_ERR_INVALID_SERVICE_TYPE:
        case AVAHI_ERR_INVALID_PORT:
        case AVAHI_ERR_INVALID_KEY:
        case AVAHI_ERR_INVALID_ADDRESS:
        case AVAHI_ERR_INVALID_PROTOCOL:
        case AVAHI_ERR_INVALID_SERVICE_SUBTYPE:
        case AVAHI_ERR_INVALID_RDATA:
        case AVAHI_ERR_INVALID_DNS_CLASS:
        case AVAHI_ERR_INVALID_DNS_TYPE:
        case AVAHI_ERR_INVALID_ARGUMENT:
        case AVAHI_ERR_IS_EMPTY:
            return kDNSServiceErr_BadParam;
        case AVAHI_ERR_ACCESS_DENIED:
        case AVAHI_ERR_NOT_PERMITTED:
        case AVAHI_ERR_DNS_REFUSED:
            return kDNSServiceErr_Refused;
        case AVAHI_ERR_DNS_NOTAUTH:
            return kDNSServiceErr_NoAuth;
        case AVAHI_ERR_NOT_SUPPORTED:
        case AVAHI_ERR_DNS_NOTIMP:
            return kDNSServiceErr_Unsupported;
        case AVAHI_ERR_VERSION_MISMATCH:
            return kDNSServiceErr_Incompatible;
        case AVAHI_ERR_NO_NETWORK:
            return kDNSServiceErr_NoRouter;
        default:
            return kDNSServiceErr_Unknown;
    }
}

DNSServiceErrorType failureFromAvahiError(int avahiError) {
    const DNSServiceErrorType code = fromAvahiError(avahiError);
    return code == kDNSServiceErr_NoError ? kDNSServiceErr_Unknown : code;
}

}  // namespace Zelm::DnsSd

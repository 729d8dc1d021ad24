/* DNS Service Discovery client API: the subset that libZelmMDNS and its tools use.
 *
 * Types, constants and signatures follow the published DNS-SD client API, so
 * that code written against it builds unchanged against this header and is
 * served by the project's backend (or by a system library with a complete
 * implementation of the same API). */
#ifndef ZELM_DNS_SD_H
#define ZELM_DNS_SD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct sockaddr;

typedef struct _DNSServiceRef_t* DNSServiceRef;
typedef struct _DNSRecordRef_t* DNSRecordRef;
typedef uint32_t DNSServiceFlags;
typedef uint32_t DNSServiceProtocol;
typedef int32_t DNSServiceErrorType;
typedef int dnssd_sock_t;

enum {
    kDNSServiceFlagsMoreComing = 0x1,
    kDNSServiceFlagsAdd = 0x2,
    kDNSServiceFlagsDefault = 0x4,
    kDNSServiceFlagsNoAutoRename = 0x8,
    kDNSServiceFlagsShared = 0x10,
    kDNSServiceFlagsUnique = 0x20
};

enum {
    kDNSServiceProtocol_IPv4 = 0x01,
    kDNSServiceProtocol_IPv6 = 0x02,
    kDNSServiceProtocol_UDP = 0x10,
    kDNSServiceProtocol_TCP = 0x20
};

#define kDNSServiceMaxServiceName 64
#define kDNSServiceMaxDomainName 1009

#define kDNSServiceInterfaceIndexAny 0
#define kDNSServiceInterfaceIndexLocalOnly ((uint32_t)-1)

enum {
    kDNSServiceErr_NoError = 0,
    kDNSServiceErr_Unknown = -65537,
    kDNSServiceErr_NoSuchName = -65538,
    kDNSServiceErr_NoMemory = -65539,
    kDNSServiceErr_BadParam = -65540,
    kDNSServiceErr_BadReference = -65541,
    kDNSServiceErr_BadState = -65542,
    kDNSServiceErr_BadFlags = -65543,
    kDNSServiceErr_Unsupported = -65544,
    kDNSServiceErr_NotInitialized = -65545,
    /* -65546 is unassigned */
    kDNSServiceErr_AlreadyRegistered = -65547,
    kDNSServiceErr_NameConflict = -65548,
    kDNSServiceErr_Invalid = -65549,
    kDNSServiceErr_Firewall = -65550,
    kDNSServiceErr_Incompatible = -65551,
    kDNSServiceErr_BadInterfaceIndex = -65552,
    kDNSServiceErr_Refused = -65553,
    kDNSServiceErr_NoSuchRecord = -65554,
    kDNSServiceErr_NoAuth = -65555,
    kDNSServiceErr_NoSuchKey = -65556,
    kDNSServiceErr_NATTraversal = -65557,
    kDNSServiceErr_DoubleNAT = -65558,
    kDNSServiceErr_BadTime = -65559,
    kDNSServiceErr_BadSig = -65560,
    kDNSServiceErr_BadKey = -65561,
    kDNSServiceErr_Transient = -65562,
    kDNSServiceErr_ServiceNotRunning = -65563,
    kDNSServiceErr_NATPortMappingUnsupported = -65564,
    kDNSServiceErr_NATPortMappingDisabled = -65565,
    kDNSServiceErr_NoRouter = -65566,
    kDNSServiceErr_PollingMode = -65567,
    kDNSServiceErr_Timeout = -65568
};

typedef void (*DNSServiceBrowseReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      DNSServiceErrorType errorCode, const char* serviceName,
                                      const char* regtype, const char* replyDomain, void* context);

typedef void (*DNSServiceResolveReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       DNSServiceErrorType errorCode, const char* fullname,
                                       const char* hosttarget, uint16_t port, /* network byte order */
                                       uint16_t txtLen, const unsigned char* txtRecord, void* context);

typedef void (*DNSServiceGetAddrInfoReply)(DNSServiceRef sdRef, DNSServiceFlags flags,
                                           uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                           const char* hostname, const struct sockaddr* address, uint32_t ttl,
                                           void* context);

typedef void (*DNSServiceRegisterReply)(DNSServiceRef sdRef, DNSServiceFlags flags,
                                        DNSServiceErrorType errorCode, const char* name, const char* regtype,
                                        const char* domain, void* context);

dnssd_sock_t DNSServiceRefSockFD(DNSServiceRef sdRef);

DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef);

void DNSServiceRefDeallocate(DNSServiceRef sdRef);

DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                     const char* regtype, const char* domain, DNSServiceBrowseReply callBack,
                                     void* context);

DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      const char* name, const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context);

DNSServiceErrorType DNSServiceGetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                          uint32_t interfaceIndex, DNSServiceProtocol protocol,
                                          const char* hostname, DNSServiceGetAddrInfoReply callBack,
                                          void* context);

DNSServiceErrorType DNSServiceRegister(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       const char* name, const char* regtype, const char* domain,
                                       const char* host, uint16_t port, /* network byte order */
                                       uint16_t txtLen, const void* txtRecord,
                                       DNSServiceRegisterReply callBack, void* context);

DNSServiceErrorType DNSServiceUpdateRecord(DNSServiceRef sdRef, DNSRecordRef recordRef, DNSServiceFlags flags,
                                           uint16_t rdlen, const void* rdata, uint32_t ttl);

/* Writes "<escaped service>.<regtype>.<domain>." (service may be NULL) into
 * fullName, a buffer of kDNSServiceMaxDomainName bytes: the name a resolve
 * reports for that service. */
DNSServiceErrorType DNSServiceConstructFullName(char* const fullName, const char* const service,
                                                const char* const regtype, const char* const domain);

#ifdef __cplusplus
}
#endif

#endif /* ZELM_DNS_SD_H */

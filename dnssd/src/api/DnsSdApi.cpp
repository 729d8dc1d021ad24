// The DNS-SD client functions of dns_sd.h over the Avahi daemon.

#include "api/Reference.h"
#include "link/DaemonLink.h"
#include "link/LiveReferences.h"
#include "names/DomainRouting.h"
#include "names/ErrorCodes.h"
#include "names/InterfaceIndex.h"
#include "names/NameRules.h"
#include "names/ServiceNames.h"
#include "names/TxtRecord.h"
#include "operations/AddressLookupOperation.h"
#include "operations/BrowseOperation.h"
#include "operations/RegisterOperation.h"
#include "operations/ResolveOperation.h"
#include "operations/UnicastBrowseOperation.h"
#include "operations/UnicastLookupOperation.h"
#include "operations/UnicastRegisterOperation.h"
#include "operations/UnicastResolveOperation.h"

#include <dns_sd.h>

#include <arpa/inet.h>
#include <strings.h>

#include <memory>
#include <new>

using namespace Zelm::DnsSd;

namespace {

// Makes the reference, starts its operation at the daemon and hands it out.
DNSServiceErrorType startOperation(DNSServiceRef* sdRef, std::unique_ptr<Operation> operation) {
    auto* reference = new (std::nothrow) _DNSServiceRef_t(std::move(operation));
    if (reference == nullptr) {
        return kDNSServiceErr_NoMemory;
    }
    DNSServiceErrorType error = kDNSServiceErr_NoError;
    if (!reference->openSockets()) {
        reference->release();
        return kDNSServiceErr_NoMemory;
    }
    try {
        reference->bindLink(DaemonLink::shared(error));
        if (reference->link()) {
            addLiveReference(reference);
        }
    } catch (...) {
        reference->release();
        throw;
    }
    if (!reference->link()) {
        reference->release();
        return error;
    }
    try {
        error = reference->link()->attach(*reference);
    } catch (...) {
        error = kDNSServiceErr_NoMemory;
    }
    if (error != kDNSServiceErr_NoError) {
        removeLiveReference(reference);
        reference->release();
        return error;
    }
    *sdRef = reference;
    return kDNSServiceErr_NoError;
}

// The meta-query that asks which service types are published.
bool isServiceTypeQuery(const char* regtype) {
    static const char kQuery[] = "_services._dns-sd._udp";
    if (regtype == nullptr || ::strncasecmp(regtype, kQuery, sizeof kQuery - 1) != 0) {
        return false;
    }
    const char* rest = regtype + sizeof kQuery - 1;
    return *rest == '\0' || (rest[0] == '.' && rest[1] == '\0');
}

// Runs `start` with allocation failures turned into kDNSServiceErr_NoMemory:
// nothing may throw through a C function.
template <typename Start>
DNSServiceErrorType guarded(DNSServiceRef* sdRef, Start start) {
    if (sdRef == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    *sdRef = nullptr;
    try {
        return start();
    } catch (const std::bad_alloc&) {
        return kDNSServiceErr_NoMemory;
    } catch (...) {
        return kDNSServiceErr_Unknown;
    }
}

// One hold on a live reference for the length of a call.
class Hold {
public:
    explicit Hold(Reference* reference) : reference_(reference) {}
    ~Hold() {
        if (reference_ != nullptr) {
            reference_->release();
        }
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    explicit operator bool() const { return reference_ != nullptr; }
    Reference* operator->() const { return reference_; }
    Reference& operator*() const { return *reference_; }

private:
    Reference* reference_;
};

}  // namespace

extern "C" {

dnssd_sock_t DNSServiceRefSockFD(DNSServiceRef sdRef) {
    const Hold hold(retainLiveReference(sdRef));
    return hold ? hold->callerSocket() : -1;
}

DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef) {
    if (sdRef == nullptr) {
        return kDNSServiceErr_BadParam;
    }
    // The hold keeps the reference alive when the reply function deallocates
    // it, or another thread does while this one waits; it is given back even
    // when the reply function throws.
    const Hold hold(retainLiveReference(sdRef));
    if (!hold) {
        return kDNSServiceErr_BadReference;
    }
    if (!hold->madeHere()) {
        return kDNSServiceErr_ServiceNotRunning;  // its daemon link is the parent's
    }
    return hold->processOne(sdRef);
}

void DNSServiceRefDeallocate(DNSServiceRef sdRef) {
    if (sdRef == nullptr || !removeLiveReference(sdRef)) {
        return;
    }
    Reference* reference = sdRef;
    if (!reference->madeHere()) {
        // The parent's reference in a forked child: the parent still uses it.
        reference->abandon();
        return;
    }
    reference->link()->detach(*reference);
    reference->close();
    reference->release();
}

DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t interfaceIndex,
                                     const char* regtype, const char* domain, DNSServiceBrowseReply callBack,
                                     void* context) {
    return guarded(sdRef, [&]() -> DNSServiceErrorType {
        const bool serviceTypes = isServiceTypeQuery(regtype);
        ServiceType type;
        if (callBack == nullptr || !isValidDomainArgument(domain) ||
            (!serviceTypes && (!parseServiceType(regtype, type, TypeUse::Find) || type.subtypes.size() > 1 ||
                               !serviceNamesFit("", type, domainArgument(domain))))) {
            return kDNSServiceErr_BadParam;
        }
        Daemon::Interface daemonInterface;
        if (const DNSServiceErrorType error = toDaemonInterface(interfaceIndex, daemonInterface)) {
            return error;
        }
        const std::string browsedDomain = domainArgument(domain);
        if (!isLinkLocalDomain(browsedDomain)) {
            using Kind = UnicastBrowseOperation::Kind;
            std::string browsed = serviceTypes            ? "_services._dns-sd._udp"
                                  : type.subtypes.empty() ? type.type
                                                          : subtypeName(type.subtypes.front(), type.type);
            return startOperation(
                sdRef, std::make_unique<UnicastBrowseOperation>(
                           serviceTypes ? Kind::ServiceTypes : Kind::Instances, std::move(browsed), type.type,
                           browsedDomain, callBack, context));
        }
        if (serviceTypes) {
            return startOperation(
                sdRef, std::make_unique<BrowseOperation>(BrowseOperation::Kind::ServiceTypes, daemonInterface,
                                                         "", domainArgument(domain), callBack, context));
        }
        std::string browsed =
            type.subtypes.empty() ? type.type : subtypeName(type.subtypes.front(), type.type);
        return startOperation(sdRef, std::make_unique<BrowseOperation>(
                                         BrowseOperation::Kind::Instances, daemonInterface,
                                         std::move(browsed), domainArgument(domain), callBack, context));
    });
}

DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t interfaceIndex,
                                      const char* name, const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context) {
    return guarded(sdRef, [&]() -> DNSServiceErrorType {
        ServiceType type;
        if (callBack == nullptr || name == nullptr || !isValidInstanceName(name) ||
            !parseServiceType(regtype, type, TypeUse::Find) || !type.subtypes.empty() ||
            !isValidDomainArgument(domain) || !serviceNamesFit(name, type, domainArgument(domain))) {
            return kDNSServiceErr_BadParam;
        }
        Daemon::Interface daemonInterface;
        if (const DNSServiceErrorType error = toDaemonInterface(interfaceIndex, daemonInterface)) {
            return error;
        }
        if (!isLinkLocalDomain(domainArgument(domain))) {
            return startOperation(sdRef, std::make_unique<UnicastResolveOperation>(
                                             name, type.type, domainArgument(domain), callBack, context));
        }
        return startOperation(sdRef,
                              std::make_unique<ResolveOperation>(daemonInterface, name, type.type,
                                                                 domainArgument(domain), callBack, context));
    });
}

DNSServiceErrorType DNSServiceGetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t interfaceIndex,
                                          DNSServiceProtocol protocol, const char* hostname,
                                          DNSServiceGetAddrInfoReply callBack, void* context) {
    return guarded(sdRef, [&]() -> DNSServiceErrorType {
        const DNSServiceProtocol families = kDNSServiceProtocol_IPv4 | kDNSServiceProtocol_IPv6;
        if (callBack == nullptr || !isValidHostName(hostname) || (protocol & ~families) != 0) {
            return kDNSServiceErr_BadParam;
        }
        Daemon::Interface daemonInterface;
        if (const DNSServiceErrorType error = toDaemonInterface(interfaceIndex, daemonInterface)) {
            return error;
        }
        const bool both = protocol == 0;
        const bool ipv4 = both || (protocol & kDNSServiceProtocol_IPv4) != 0;
        const bool ipv6 = both || (protocol & kDNSServiceProtocol_IPv6) != 0;
        if (!isLinkLocalHost(hostname)) {
            return startOperation(
                sdRef, std::make_unique<UnicastLookupOperation>(ipv4, ipv6, hostname, callBack, context));
        }
        return startOperation(
            sdRef, std::make_unique<AddressLookupOperation>(
                       daemonInterface, both || (protocol & kDNSServiceProtocol_IPv4) != 0,
                       both || (protocol & kDNSServiceProtocol_IPv6) != 0, hostname, callBack, context));
    });
}

DNSServiceErrorType DNSServiceRegister(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       const char* name, const char* regtype, const char* domain,
                                       const char* host, uint16_t port, uint16_t txtLen,
                                       const void* txtRecord, DNSServiceRegisterReply callBack,
                                       void* context) {
    return guarded(sdRef, [&]() -> DNSServiceErrorType {
        RegisterOperation::Request request;
        ServiceType type;
        const bool defaultName = name == nullptr || *name == '\0';
        const bool thisHost = host == nullptr || *host == '\0';
        if (callBack == nullptr || !parseServiceType(regtype, type, TypeUse::Publish) ||
            (txtLen > 0 && txtRecord == nullptr) || txtLen > kMaxTxtRecordBytes ||
            !parseTxtRecord(txtRecord, txtLen, request.txt) || (!defaultName && !isValidInstanceName(name)) ||
            (!thisHost && !isValidHostName(host)) || !isValidDomainArgument(domain) ||
            !serviceNamesFit(defaultName ? "" : name, type, domainArgument(domain))) {
            return kDNSServiceErr_BadParam;
        }
        if (const DNSServiceErrorType error = toDaemonInterface(interfaceIndex, request.interface)) {
            return error;
        }
        request.autoRename = (flags & kDNSServiceFlagsNoAutoRename) == 0;
        request.name = name != nullptr ? name : "";
        if (request.name.empty() && !request.autoRename) {
            return kDNSServiceErr_BadParam;  // the default name is always renamed on a conflict
        }
        request.type = type.type;
        request.subtypes = type.subtypes;
        request.domain = domainArgument(domain);
        request.host = host != nullptr ? withoutTrailingDot(host) : "";
        request.port = ntohs(port);
        if (!isLinkLocalDomain(request.domain)) {
            UnicastRegisterOperation::Request unicast{request.autoRename, request.name,          request.type,
                                                      request.subtypes,   request.domain,        request.host,
                                                      request.port,       std::move(request.txt)};
            return startOperation(
                sdRef, std::make_unique<UnicastRegisterOperation>(std::move(unicast), callBack, context));
        }
        return startOperation(sdRef,
                              std::make_unique<RegisterOperation>(std::move(request), callBack, context));
    });
}

DNSServiceErrorType DNSServiceUpdateRecord(DNSServiceRef sdRef, DNSRecordRef recordRef, DNSServiceFlags,
                                           uint16_t rdlen, const void* rdata, uint32_t) {
    if (sdRef == nullptr || (rdlen > 0 && rdata == nullptr) || rdlen > kMaxTxtRecordBytes) {
        return kDNSServiceErr_BadParam;
    }
    const Hold hold(retainLiveReference(sdRef));
    if (!hold) {
        return kDNSServiceErr_BadReference;
    }
    try {
        std::vector<std::string> txt;
        const bool registration =
            hold->operation().asRegistration() != nullptr ||
            dynamic_cast<UnicastRegisterOperation*>(hold->operation().asUnicast()) != nullptr;
        if (recordRef != nullptr || !registration) {
            // Only the registration's own TXT record exists here.
            return kDNSServiceErr_BadReference;
        }
        if (!parseTxtRecord(rdata, rdlen, txt)) {
            return kDNSServiceErr_BadParam;
        }
        if (!hold->madeHere()) {
            return kDNSServiceErr_ServiceNotRunning;
        }
        return hold->link()->updateTxt(*hold, std::move(txt));
    } catch (const std::bad_alloc&) {
        return kDNSServiceErr_NoMemory;
    }
}

DNSServiceErrorType DNSServiceConstructFullName(char* const fullName, const char* const service,
                                                const char* const regtype, const char* const domain) {
    try {
        std::string full;
        if (fullName == nullptr ||
            !constructFullName(service, regtype, domain, kDNSServiceMaxDomainName, full)) {
            return kDNSServiceErr_BadParam;
        }
        full.copy(fullName, full.size());
        fullName[full.size()] = '\0';
        return kDNSServiceErr_NoError;
    } catch (const std::bad_alloc&) {
        return kDNSServiceErr_NoMemory;
    }
}

}  // extern "C"

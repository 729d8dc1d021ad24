#include "DnsSdStatus.h"

#include <dns_sd.h>
#include <zelm/mdns/MDNSError.h>

#include <cstdint>

namespace Zelm::Tool {

namespace {

struct CodeText {
    DNSServiceErrorType code;
    const char* text;
};

constexpr CodeText codeTexts[] = {
    {kDNSServiceErr_Unknown, "unknown DNS-SD error"},
    {kDNSServiceErr_NoSuchName, "no such name"},
    {kDNSServiceErr_NoMemory, "out of memory"},
    {kDNSServiceErr_BadParam, "bad parameter"},
    {kDNSServiceErr_BadReference, "bad reference"},
    {kDNSServiceErr_BadState, "bad state"},
    {kDNSServiceErr_BadFlags, "bad flags"},
    {kDNSServiceErr_Unsupported, "unsupported"},
    {kDNSServiceErr_NotInitialized, "no answer (not initialized)"},
    {kDNSServiceErr_AlreadyRegistered, "already registered"},
    {kDNSServiceErr_NameConflict, "name conflict"},
    {kDNSServiceErr_Invalid, "invalid name or index"},
    {kDNSServiceErr_Firewall, "firewall"},
    {kDNSServiceErr_Incompatible, "client library incompatible with daemon"},
    {kDNSServiceErr_BadInterfaceIndex, "bad interface index"},
    {kDNSServiceErr_Refused, "refused"},
    {kDNSServiceErr_NoSuchRecord, "no such record"},
    {kDNSServiceErr_NoAuth, "no authorization"},
    {kDNSServiceErr_NoSuchKey, "no such key"},
    {kDNSServiceErr_NATTraversal, "NAT traversal"},
    {kDNSServiceErr_DoubleNAT, "double NAT"},
    {kDNSServiceErr_BadTime, "bad time"},
    {kDNSServiceErr_BadSig, "bad signature"},
    {kDNSServiceErr_BadKey, "bad key"},
    {kDNSServiceErr_Transient, "transient failure"},
    {kDNSServiceErr_ServiceNotRunning, "DNS-SD daemon not running"},
    {kDNSServiceErr_NATPortMappingUnsupported, "NAT port mapping unsupported"},
    {kDNSServiceErr_NATPortMappingDisabled, "NAT port mapping disabled"},
    {kDNSServiceErr_NoRouter, "no router"},
    {kDNSServiceErr_PollingMode, "polling mode"},
    {kDNSServiceErr_Timeout, "timed out"},
};

}  // namespace

std::string dnsSdErrorText(int code) {
    for (const CodeText& entry : codeTexts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return "DNS-SD error";
}

int signedCode(const Zelm::Error& error) { return static_cast<int32_t>(error.code()); }

std::string describeOutcome(const Zelm::Error& error) {
    if (error.category() == Zelm::Error::Framework &&
        error.code() == Zelm::MDNS::BrowseOperationAlreadyInProgress::Code) {
        return "operation already in progress";
    }
    const int code = signedCode(error);
    return "code " + std::to_string(code) + " (" + dnsSdErrorText(code) + ")";
}

bool daemonUnreachable(const Zelm::Error& error) {
    return signedCode(error) == kDNSServiceErr_ServiceNotRunning;
}

}  // namespace Zelm::Tool

#include "DnsSdStatus.h"

#include <zelm/mdns/MDNSError.h>

#include <cstdint>

namespace zelm_mdns {

namespace {

struct CodeText {
    int code;
    const char* text;
};

constexpr CodeText codeTexts[] = {
    {-65537, "unknown DNS-SD error"},
    {-65538, "no such name"},
    {-65539, "out of memory"},
    {-65540, "bad parameter"},
    {-65541, "bad reference"},
    {-65542, "bad state"},
    {-65543, "bad flags"},
    {-65544, "unsupported"},
    {-65545, "no answer (not initialized)"},
    {-65547, "already registered"},
    {-65548, "name conflict"},
    {-65549, "invalid name or index"},
    {-65550, "firewall"},
    {-65551, "client library incompatible with daemon"},
    {-65552, "bad interface index"},
    {-65553, "refused"},
    {-65554, "no such record"},
    {-65555, "no authorization"},
    {-65556, "no such key"},
    {-65557, "NAT traversal"},
    {-65558, "double NAT"},
    {-65559, "bad time"},
    {-65560, "bad signature"},
    {-65561, "bad key"},
    {-65562, "transient failure"},
    {-65563, "DNS-SD daemon not running"},
    {-65564, "NAT port mapping unsupported"},
    {-65565, "NAT port mapping disabled"},
    {-65566, "no router"},
    {-65567, "polling mode"},
    {-65568, "timed out"},
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

bool daemonUnreachable(const Zelm::Error& error) { return signedCode(error) == dnsSdServiceNotRunning; }

}  // namespace zelm_mdns

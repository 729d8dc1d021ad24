#include "ErrorMapping.h"

namespace Zelm::MDNS::Apple::Util {

namespace {

constexpr int kLowestCode = -65567;   // kDNSServiceErr_PollingMode
constexpr int kHighestCode = -65538;  // kDNSServiceErr_NoSuchName

// Indexed by code - kLowestCode, from -65567 up to -65538.
constexpr const char* kTexts[] = {
    "MDNS Polling mode.",
    "MDNS No router currently configured (probably no network connectivity)",
    "MDNS NAT supports NAT-PMP or UPnP but it's disabled by the administrator",
    "MDNS The NAT gateway doesn't support PCP, NAT-PMP or UPnP.",
    "MDNS background daemon not running.",
    "MDNS Transient.",
    "MDNS bad key.",
    "MDNS bad signature.",
    "MDNS bad time.",
    "MDNS more than one NAT gateway between source and destination.",
    "MDNS NAT traversal.",
    "MDNS no such key.",
    "MDNS no authorization.",
    "MDNS no such record.",
    "MDNS refused.",
    "MDNS bad interface index.",
    "MDNS client library incompatible with daemon.",
    "MDNS firewall.",
    "MDNS an invalid index or character was passed.",
    "MDNS name conflict.",
    "MDNS already registered.",
    "Unknown",  // -65546 has no name
    "MDNS not initialized.",
    "MDNS unsupported.",
    "MDNS Bad flags.",
    "MDNS Bad state.",
    "MDNS Bad reference.",
    "MDNS Bad parameter.",
    "MDNS out of memory.",
    "MDNS no such name.",
};

static_assert(sizeof(kTexts) / sizeof(kTexts[0]) == kHighestCode - kLowestCode + 1);

}  // namespace

std::string mapMdnsErr(int code) {
    std::string text;
    if (code > kHighestCode) {
        if (code != 0) {
            text = "Unknown";
        }
    } else if (code < kLowestCode) {
        text = "Unknown";
    } else {
        text = kTexts[code - kLowestCode];
    }
    return text;
}

}  // namespace Zelm::MDNS::Apple::Util

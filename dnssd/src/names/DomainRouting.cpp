#include "names/DomainRouting.h"

#include "names/NameRules.h"
#include "names/ServiceNames.h"

#include <vector>

namespace Zelm::DnsSd {

namespace {

// The name's last labels equal `zone`'s, case aside.
bool isBelow(const std::vector<std::string>& labels, const std::vector<std::string>& zone) {
    if (labels.size() < zone.size()) {
        return false;
    }
    const std::size_t offset = labels.size() - zone.size();
    for (std::size_t i = 0; i < zone.size(); ++i) {
        if (asciiLower(labels[offset + i]) != zone[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool isLinkLocalDomain(const std::string& domain) {
    std::vector<std::string> labels;
    if (!parseDnsName(domain, labels) || labels.empty()) {
        return true;  // the default domain; anything else was refused before
    }
    if (isBelow(labels, {"local"}) || isBelow(labels, {"254", "169", "in-addr", "arpa"})) {
        return true;
    }
    for (const char* nibble : {"8", "9", "a", "b"}) {
        if (isBelow(labels, {nibble, "e", "f", "ip6", "arpa"})) {
            return true;
        }
    }
    return false;
}

bool isLinkLocalHost(const std::string& host) {
    std::vector<std::string> labels;
    const std::string name = withoutTrailingDot(host);
    return !parseDnsName(name, labels) || labels.size() < 2 || isLinkLocalDomain(name);
}

}  // namespace Zelm::DnsSd

#include "Formatting.h"

#include "DnsSdStatus.h"

#include <net/if.h>
#include <sys/socket.h>

namespace Zelm::Tool {

nlohmann::ordered_json txtAsJson(const DecodedTxt& txt) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const TxtEntry& entry : txt.entries) {
        const std::string key = escapeBytes(entry.key);
        if (object.contains(key)) {
            continue;
        }
        object[key] =
            entry.value ? nlohmann::ordered_json(escapeBytes(*entry.value)) : nlohmann::ordered_json(true);
    }
    return object;
}

std::string txtAsText(const DecodedTxt& txt) {
    std::string text;
    for (const TxtEntry& entry : txt.entries) {
        if (!text.empty()) {
            text += ' ';
        }
        text += formatTxtEntry(entry);
    }
    return text;
}

std::string familyName(int family) {
    switch (family) {
        case AF_INET:
            return "IPv4";
        case AF_INET6:
            return "IPv6";
        default:
            return "";
    }
}

std::string interfaceName(int index) {
    char name[IF_NAMESIZE] = {};
    if (index > 0 && ::if_indextoname(static_cast<unsigned int>(index), name) != nullptr) {
        return name;
    }
    return std::to_string(index);
}

void addFailure(nlohmann::ordered_json& object, const Zelm::Error& outcome) {
    object["code"] = signedCode(outcome);
    object["error"] = dnsSdErrorText(signedCode(outcome));
}

}  // namespace Zelm::Tool

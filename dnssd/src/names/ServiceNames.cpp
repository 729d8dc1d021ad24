#include "names/ServiceNames.h"

#include "names/NameRules.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

namespace Zelm::DnsSd {

std::string escapeLabel(const std::string& label) {
    std::string escaped;
    escaped.reserve(label.size());
    for (const char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '.' || c == '\\') {
            escaped.push_back('\\');
            escaped.push_back(c);
        } else if (byte <= ' ' || byte == 0x7F) {
            char code[5];
            std::snprintf(code, sizeof code, "\\%03u", static_cast<unsigned>(byte));
            escaped.append(code);
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

bool endsWithUnescapedDot(const std::string& name) {
    if (name.empty() || name.back() != '.') {
        return false;
    }
    // An odd run of backslashes right before the dot escapes it.
    std::size_t backslashes = 0;
    for (std::size_t at = name.size() - 1; at > 0 && name[at - 1] == '\\'; --at) {
        ++backslashes;
    }
    return backslashes % 2 == 0;
}

std::string withTrailingDot(const std::string& name) {
    return endsWithUnescapedDot(name) ? name : name + '.';
}

std::string withoutTrailingDot(const std::string& name) {
    return endsWithUnescapedDot(name) ? name.substr(0, name.size() - 1) : name;
}

std::string fullServiceName(const std::string& instance, const std::string& type, const std::string& domain) {
    return escapeLabel(instance) + '.' + withTrailingDot(type) + withTrailingDot(domain);
}

bool constructFullName(const char* instance, const char* type, const char* domain, std::size_t capacity,
                       std::string& full) {
    if (!isValidHostName(type) || !isValidHostName(domain) ||
        (instance != nullptr && !isValidInstanceName(instance))) {
        return false;
    }
    full = instance == nullptr ? withTrailingDot(type) + withTrailingDot(domain)
                               : fullServiceName(instance, type, domain);
    return full.size() < capacity;
}

bool parseServiceType(const char* text, ServiceType& parsed, TypeUse use) {
    parsed = ServiceType{};
    if (text == nullptr) {
        return false;
    }
    const std::string argument(text);
    std::size_t start = 0;
    bool first = true;
    while (true) {
        const std::size_t comma = argument.find(',', start);
        const std::string part = withoutTrailingDot(
            argument.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (first) {
            // The subtype's one-name spelling stands alone: further subtypes
            // follow the plain type after commas.
            std::string subtype;
            if (isValidServiceType(part, use)) {
                parsed.type = part;
            } else if (comma == std::string::npos && splitSubtypeName(part, subtype, parsed.type, use)) {
                parsed.subtypes.push_back(std::move(subtype));
            } else {
                return false;
            }
            first = false;
        } else if (isValidSubtype(part)) {
            parsed.subtypes.push_back(part);
        } else {
            return false;
        }
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

bool serviceNamesFit(const std::string& instance, const ServiceType& type, const std::string& domain) {
    const std::string suffix =
        withTrailingDot(type.type) + withTrailingDot(domain.empty() ? "local" : domain);
    std::vector<std::string> names{suffix};
    if (!instance.empty()) {
        names.push_back(escapeLabel(instance) + '.' + suffix);
    }
    for (const std::string& subtype : type.subtypes) {
        names.push_back(subtypeName(subtype, suffix));
    }
    return std::all_of(names.begin(), names.end(),
                       [](const std::string& name) { return isValidDnsName(name); });
}

std::string subtypeName(const std::string& subtype, const std::string& type) {
    return subtype + "._sub." + type;
}

std::string domainArgument(const char* domain) {
    if (domain == nullptr) {
        return std::string();
    }
    return withoutTrailingDot(domain);
}

std::string alternativeName(const std::string& name) {
    std::string base = name;
    unsigned long number = 2;
    const size_t mark = name.rfind(" #");
    if (mark != std::string::npos && mark + 2 < name.size() && name.size() - mark - 2 <= 9) {
        bool digits = true;
        for (size_t i = mark + 2; i < name.size(); ++i) {
            digits = digits && std::isdigit(static_cast<unsigned char>(name[i])) != 0;
        }
        if (digits) {
            base = name.substr(0, mark);
            number = std::stoul(name.substr(mark + 2)) + 1;
        }
    }
    const std::string suffix = " #" + std::to_string(number);
    size_t keep = std::min(base.size(), kMaxLabelBytes - suffix.size());
    while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    return base.substr(0, keep) + suffix;
}

}  // namespace Zelm::DnsSd

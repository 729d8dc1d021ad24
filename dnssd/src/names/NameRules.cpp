#include "names/NameRules.h"

#include <algorithm>

namespace Zelm::DnsSd {

namespace {

constexpr std::size_t kMaxNameWireBytes = 255;
constexpr std::size_t kMaxServiceNameChars = 15;

}  // namespace

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string asciiLower(std::string text) {
    for (char& c : text) {
        c = asciiLower(c);
    }
    return text;
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

bool isServiceName(std::string_view name) {
    if (name.empty() || name.size() > kMaxServiceNameChars || name.front() == '-' || name.back() == '-' ||
        name.find("--") != std::string_view::npos) {
        return false;
    }
    bool letter = false;
    for (const char c : name) {
        if (!isLetter(c) && !isDigit(c) && c != '-') {
            return false;
        }
        letter = letter || isLetter(c);
    }
    return letter;
}

// Where the first label of a presentation-form name ends: at its first dot
// that no backslash escapes, or at the end.
std::size_t firstLabelEnd(std::string_view name) {
    std::size_t at = 0;
    while (at < name.size() && name[at] != '.') {
        at += name[at] == '\\' ? 2u : 1u;  // an escaped character, or \DDD's first digit
    }
    return std::min(at, name.size());
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = 0;
        char32_t point = 0;
        char32_t smallest = 0;
        if (lead < 0x80) {
            ++at;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, point = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, point = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, point = lead & 0x07, smallest = 0x10000;
        } else {
            return false;
        }
        if (length > text.size() - at) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (next & 0x3F);
        }
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        at += length;
    }
    return true;
}

bool parseDnsName(std::string_view name, std::vector<std::string>& labels) {
    labels.clear();
    if (!isValidUtf8(name)) {
        return false;
    }
    if (name == "" || name == ".") {
        return true;
    }
    std::size_t wireBytes = 1;  // the root label's length byte
    std::string label;
    for (std::size_t at = 0; at <= name.size(); ++at) {
        if (at == name.size() || name[at] == '.') {
            if (label.empty()) {
                // Only the name's final dot may have no label after it.
                return at == name.size();
            }
            wireBytes += label.size() + 1;
            if (label.size() > kMaxLabelBytes || wireBytes > kMaxNameWireBytes || !isValidUtf8(label)) {
                return false;
            }
            labels.push_back(std::move(label));
            label.clear();
            continue;
        }
        if (name[at] != '\\') {
            label.push_back(name[at]);
            continue;
        }
        if (++at == name.size()) {
            return false;  // a backslash escaping nothing
        }
        if (!isDigit(name[at])) {
            label.push_back(name[at]);
            continue;
        }
        if (name.size() - at < 3 || !isDigit(name[at + 1]) || !isDigit(name[at + 2])) {
            return false;
        }
        const int value = (name[at] - '0') * 100 + (name[at + 1] - '0') * 10 + (name[at + 2] - '0');
        if (value > 255) {
            return false;
        }
        label.push_back(static_cast<char>(value));
        at += 2;
    }
    return true;
}

bool toWireName(std::string_view name, std::string& wire) {
    std::vector<std::string> labels;
    if (!parseDnsName(name, labels)) {
        return false;
    }
    wire.clear();
    for (const std::string& label : labels) {
        wire += static_cast<char>(label.size());
        wire += label;
    }
    wire += '\0';
    return true;
}

bool isValidDnsName(std::string_view name) {
    std::vector<std::string> labels;
    return parseDnsName(name, labels);
}

bool isValidHostName(const char* name) {
    std::vector<std::string> labels;
    return name != nullptr && parseDnsName(name, labels) && !labels.empty();
}

bool isValidDomainArgument(const char* domain) { return domain == nullptr || isValidDnsName(domain); }

bool isValidInstanceName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxLabelBytes && isValidUtf8(name);
}

bool isValidServiceType(std::string_view type, TypeUse use) {
    std::vector<std::string> labels;
    if (!parseDnsName(type, labels) || labels.size() != 2 || labels[0].size() < 3 || labels[0][0] != '_') {
        return false;
    }
    return (use == TypeUse::Find || isServiceName(std::string_view(labels[0]).substr(1))) &&
           (equalsIgnoringCase(labels[1], "_tcp") || equalsIgnoringCase(labels[1], "_udp"));
}

bool isValidSubtype(std::string_view subtype) {
    std::vector<std::string> labels;
    return parseDnsName(subtype, labels) && labels.size() == 1;
}

bool splitSubtypeName(std::string_view name, std::string& subtype, std::string& type, TypeUse use) {
    constexpr std::string_view kSub = "_sub.";
    const std::size_t end = firstLabelEnd(name);
    if (end == name.size()) {
        return false;
    }
    const std::string_view rest = name.substr(end + 1);
    if (rest.size() <= kSub.size() || !equalsIgnoringCase(rest.substr(0, kSub.size()), kSub) ||
        !isValidSubtype(name.substr(0, end)) || !isValidServiceType(rest.substr(kSub.size()), use)) {
        return false;
    }
    subtype = name.substr(0, end);
    type = rest.substr(kSub.size());
    return true;
}

}  // namespace Zelm::DnsSd

#include "TxtRecord.h"

#include <cstdio>

namespace Zelm::Tool {

namespace {
constexpr std::size_t maxStringLength = 255;
}

std::string encodeTxt(const std::vector<std::string>& items) {
    std::string wire;
    for (const std::string& item : items) {
        if (item.empty() || item.front() == '=') {
            throw TxtFormatError("TXT entry '" + item + "' needs a key");
        }
        if (item.size() > maxStringLength) {
            throw TxtFormatError("TXT entry '" + item.substr(0, 20) + "...' is longer than 255 bytes");
        }
        wire.push_back(static_cast<char>(item.size()));
        wire += item;
    }
    return wire;
}

DecodedTxt decodeTxt(const std::string& wire) {
    DecodedTxt decoded;
    std::size_t pos = 0;
    while (pos < wire.size()) {
        const std::size_t length = static_cast<unsigned char>(wire[pos]);
        ++pos;
        if (length > wire.size() - pos) {
            decoded.truncated = true;
            break;
        }
        const std::string item = wire.substr(pos, length);
        pos += length;
        if (item.empty()) {
            continue;  // padding, or an empty record
        }
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos) {
            decoded.entries.push_back({item, std::nullopt});
        } else {
            decoded.entries.push_back({item.substr(0, equals), item.substr(equals + 1)});
        }
    }
    return decoded;
}

std::string escapeBytes(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            text.push_back(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            text += hex;
        }
    }
    return text;
}

nlohmann::ordered_json txtAsJson(const DecodedTxt& txt) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const TxtEntry& entry : txt.entries) {
        const std::string key = escapeBytes(entry.key);
        if (!object.contains(key)) {
            object[key] = entry.value ? nlohmann::ordered_json(escapeBytes(*entry.value))
                                      : nlohmann::ordered_json(true);
        }
    }
    return object;
}

std::string toHex(const std::string& bytes) {
    std::string hex;
    char digits[3];
    for (const char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
        hex += digits;
    }
    return hex;
}

}  // namespace Zelm::Tool

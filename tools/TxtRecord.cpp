#include "TxtRecord.h"

#include "Printable.h"

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

nlohmann::ordered_json txtAsJson(const DecodedTxt& txt) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (const TxtEntry& entry : txt.entries) {
        nlohmann::ordered_json item{{"key", isUtf8(entry.key) ? entry.key : printable(entry.key, true)}};
        if (entry.value) {
            if (isUtf8(*entry.value)) item["value"] = *entry.value;
            item["value_hex"] = toHex(*entry.value);
        }
        entries.push_back(std::move(item));
    }
    return entries;
}

std::vector<std::string> txtItems(const DecodedTxt& txt) {
    std::vector<std::string> items;
    for (const TxtEntry& entry : txt.entries)
        items.push_back(entry.key + (entry.value ? "=" + *entry.value : ""));
    return items;
}

std::string txtAsText(const DecodedTxt& txt) {
    std::string text;
    for (const std::string& item : txtItems(txt)) {
        if (!text.empty()) text += ' ';
        if (item.find_first_of(" \"\\") == std::string::npos) {
            text += printable(item);
            continue;
        }
        text += '"';
        for (const char c : printable(item, true)) text += c == '"' ? std::string("\\\"") : std::string(1, c);
        text += '"';
    }
    return text;
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

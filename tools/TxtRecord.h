#pragma once

// TXT records in their wire form: a sequence of strings, each one length byte
// followed by that many bytes, conventionally "key=value" or a bare "key".

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Zelm::Tool {

struct TxtEntry {
    std::string key;
    std::optional<std::string> value;  // empty for a bare key (a boolean attribute)
};

struct DecodedTxt {
    std::vector<TxtEntry> entries;  // in wire order; empty strings are skipped
    bool truncated = false;         // a length byte pointed past the end
};

class TxtFormatError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Builds the wire form from "key=value" or "key" items, in order. Throws
// TxtFormatError for an item that is empty, starts with '=' or is longer than
// one length byte can describe.
std::string encodeTxt(const std::vector<std::string>& items);

DecodedTxt decodeTxt(const std::string& wire);

// Printable ASCII stays as it is (a backslash doubled); every other byte
// becomes \xHH, so the text is unambiguous and safe on any terminal.
std::string escapeBytes(const std::string& bytes);

// {"key": "value", "flag": true}; the first of repeated keys wins, as DNS-SD
// readers do. Keys and values are escaped as escapeBytes does.
nlohmann::ordered_json txtAsJson(const DecodedTxt& txt);

std::string toHex(const std::string& bytes);

}  // namespace Zelm::Tool

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

// [{"key": "path", "value": "/x y", "value_hex": "2f782079"}, {"key": "flag"}]
// in wire order, repeats kept (readers take the first, as DNS-SD says):
// "value" where the value is UTF-8, "value_hex" for every value. A key that
// is not UTF-8 is written as printable() writes it.
nlohmann::ordered_json txtAsJson(const DecodedTxt& txt);

// The entries for a terminal, separated by spaces: key=value as printable()
// writes it, in double quotes (with \" and \\ inside) where it holds a space,
// a quote or a backslash.
std::string txtAsText(const DecodedTxt& txt);

// Each entry as "key=value" or "key", for comparing records.
std::vector<std::string> txtItems(const DecodedTxt& txt);

std::string toHex(const std::string& bytes);

}  // namespace Zelm::Tool

#pragma once

// Pieces of result text and JSON shared by the subcommands.

#include "TxtRecord.h"

#include <zelm/Error.h>

#include <nlohmann/json.hpp>

#include <string>

namespace Zelm::Tool {

// {"key": "value", "flag": true}; the first of repeated keys wins, as DNS-SD
// readers do. Keys and values are escaped as escapeBytes does.
nlohmann::ordered_json txtAsJson(const DecodedTxt& txt);

// The entries as "key=value" items separated by blanks.
std::string txtAsText(const DecodedTxt& txt);

// "198.18.0.2"-style family name: "IPv4", "IPv6" or "".
std::string familyName(int family);

// Name of the network interface with this index, or its number as text.
std::string interfaceName(int index);

// Adds "code" and "error" members describing a failed outcome.
void addFailure(nlohmann::ordered_json& object, const Zelm::Error& outcome);

}  // namespace Zelm::Tool

#pragma once

#include <string>

namespace Zelm::MDNS::Apple::Util {

// Writes the library's one diagnostic line for a DNS-SD failure to standard
// output and flushes it: prefix, "mDNS error: ", the code, ": ", its text.
void writeErrorLine(int code, const char* prefix = "");

// Writes one whole line of text to standard output and flushes it.
void writeLine(const std::string& text);

}  // namespace Zelm::MDNS::Apple::Util

#pragma once

// Network text on a terminal: names and TXT values arrive as bytes, mostly
// UTF-8, sometimes not.

#include <cstddef>
#include <string>

namespace Zelm::Tool {

bool isUtf8(const std::string& bytes);

// UTF-8 as it is; each byte that is not part of valid UTF-8, and each control
// character, as \xHH. With `doubleBackslash` a backslash becomes \\, so that
// every backslash in the result starts an escape.
std::string printable(const std::string& bytes, bool doubleBackslash = false);

// Terminal columns that valid UTF-8 text takes (wcwidth); a character it
// does not know counts one.
std::size_t displayWidth(const std::string& text);

}  // namespace Zelm::Tool

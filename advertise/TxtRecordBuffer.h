#pragma once

#include <vector>

namespace Zelm::MDNS::Apple::Util {

// Replaces `buffer` with the TXT record that a registration hands to DNS-SD:
// an empty record becomes a single zero byte, a record shorter than 128 bytes
// is padded with zero bytes (empty strings in TXT wire form) to 128, and a
// longer one is copied unchanged. A null `txtRecord` counts as empty.
void fillTxtBuffer(std::vector<char>& buffer, const void* txtRecord, unsigned short txtLen);

}  // namespace Zelm::MDNS::Apple::Util

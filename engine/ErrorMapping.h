#pragma once

#include <string>

namespace Zelm::MDNS::Apple::Util {

// English text for a DNS-SD error code: empty for 0, "Unknown" for any code
// outside the published table.
std::string mapMdnsErr(int code);

}  // namespace Zelm::MDNS::Apple::Util

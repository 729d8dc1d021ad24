#pragma once

// How a DNS-SD outcome becomes what a component hands to its host: an error
// value from a DNS-SD code, and text from a C string the daemon may leave null.

#include <dns_sd.h>
#include <zelm/Error.h>

#include <string>

namespace Zelm::MDNS::Apple::Util {

// `code` as the unsigned value a host reads back, in `category`, no message.
inline Zelm::Error dnsSdError(DNSServiceErrorType code, Zelm::Error::Category category) {
    return Zelm::Error(static_cast<unsigned int>(code), category, "");
}

inline std::string textOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace Zelm::MDNS::Apple::Util

#include "names/TxtRecord.h"

#include <algorithm>

namespace Zelm::DnsSd {

bool parseTxtRecord(const void* data, std::size_t size, std::vector<std::string>& strings) {
    strings.clear();
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length = bytes[at++];
        if (length > size - at) {
            strings.clear();
            return false;
        }
        strings.emplace_back(reinterpret_cast<const char*>(bytes + at), length);
        at += length;
    }
    return true;
}

std::string txtRecordBytes(const std::vector<std::string>& strings) {
    if (strings.empty()) {
        return std::string(1, '\0');
    }
    std::string wire;
    for (const std::string& text : strings) {
        const std::size_t length = std::min<std::size_t>(text.size(), 255);
        wire.push_back(static_cast<char>(length));
        wire.append(text, 0, length);
    }
    return wire;
}

}  // namespace Zelm::DnsSd

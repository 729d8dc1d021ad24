#include "TxtRecordBuffer.h"

#include <cstddef>

namespace Zelm::MDNS::Apple::Util {

namespace {
constexpr std::size_t kPaddedTxtSize = 128;
}

void fillTxtBuffer(std::vector<char>& buffer, const void* txtRecord, unsigned short txtLen) {
    buffer.clear();
    if (txtLen == 0 || txtRecord == nullptr) {
        buffer.push_back('\0');
        return;
    }
    const char* bytes = static_cast<const char*>(txtRecord);
    buffer.assign(bytes, bytes + txtLen);
    if (buffer.size() < kPaddedTxtSize) {
        buffer.resize(kPaddedTxtSize, '\0');
    }
}

}  // namespace Zelm::MDNS::Apple::Util

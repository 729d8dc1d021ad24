#include "AddressInfo_impl.h"

#include "ErrorLine.h"
#include "Outcome.h"

#include <arpa/inet.h>

#include <cstring>
#include <mutex>

namespace Zelm::MDNS::Apple {

namespace {

constexpr unsigned int kLookupTimeoutMs = 4000;

}  // namespace

AddressInfo_impl::AddressInfo_impl() { std::memset(&socketAddress, 0, sizeof(socketAddress)); }

AddressInfo_impl::~AddressInfo_impl() = default;

bool AddressInfo_impl::isInitialized() const { return MDNSBase_impl::isInitialized(); }

Zelm::Error AddressInfo_impl::getAddressInfo(const char* hostname, unsigned int protocol,
                                             unsigned int interfaceIndex, unsigned int flags) {
    // Lookups make no busy test: a second caller waits for the lookup in
    // progress to end instead of starting into the same reference.
    const OperationClaim claim(*this, OperationClaim::Mode::WaitUntilFree);
    lastError = startRequest([&](DNSServiceRef* ref) {
        return DNSServiceGetAddrInfo(ref, flags, interfaceIndex, protocol, hostname,
                                     __DNSServiceGetAddrInfoReplyFunc__, this);
    });
    if (lastError != kDNSServiceErr_NoError) {
        Util::writeErrorLine(lastError, "AddressInfo_impl::getAddressInfo:");
    } else {
        initialized = true;
        performService(kLookupTimeoutMs);
    }

    if (lastError == kDNSServiceErr_NoError) {
        return Zelm::Error();
    }
    return Util::dnsSdError(lastError, Zelm::Error::Service);
}

struct sockaddr AddressInfo_impl::getSocketAddress() const {
    std::lock_guard<std::mutex> lock(mutex);
    struct sockaddr copy;
    std::memcpy(&copy, &socketAddress, sizeof(copy));
    return copy;
}

std::string AddressInfo_impl::getSocketAddressAsString() const {
    std::lock_guard<std::mutex> lock(mutex);
    if (!initialized) {
        return std::string();
    }
    switch (socketAddress.plain.sa_family) {
        case AF_INET: {
            char text[INET_ADDRSTRLEN] = {};
            if (::inet_ntop(AF_INET, &socketAddress.v4.sin_addr, text, sizeof(text)) == nullptr) {
                return std::string();
            }
            return text;
        }
        case AF_INET6: {
            char text[INET6_ADDRSTRLEN] = {};
            if (::inet_ntop(AF_INET6, &socketAddress.v6.sin6_addr, text, sizeof(text)) == nullptr) {
                return std::string();
            }
            return text;
        }
        default:
            Util::writeLine("Unknown AF enum");
            return std::string();
    }
}

void AddressInfo_impl::__DNSServiceGetAddrInfoReplyFunc__(DNSServiceRef /*sdRef*/, DNSServiceFlags flags,
                                                          uint32_t /*interfaceIndex*/,
                                                          DNSServiceErrorType errorCode,
                                                          const char* /*hostname*/,
                                                          const struct sockaddr* address, uint32_t /*ttl*/,
                                                          void* context) {
    if (context == nullptr) {
        return;
    }
    auto* self = static_cast<AddressInfo_impl*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);

    if (errorCode != kDNSServiceErr_NoError) {
        self->lastError = errorCode;
    } else if (address != nullptr) {
        // The whole sockaddr_in6, so that a link-local answer keeps its scope.
        const size_t size = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr);
        std::memcpy(&self->socketAddress, address, size);
    }

    // The last reply of a burst, answer or error, completes the lookup.
    if ((flags & kDNSServiceFlagsMoreComing) == 0) {
        self->cleanup();
        self->semaphore.signal();
    }
}

}  // namespace Zelm::MDNS::Apple

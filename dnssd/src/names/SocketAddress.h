#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace Zelm::DnsSd {

// The socket address of an A or AAAA record's bytes (`address` holds 4 or
// 16), with `scope` as the IPv6 zone; the port is left 0.
inline sockaddr_storage socketAddress(int family, const std::string& address, std::uint32_t scope = 0) {
    sockaddr_storage storage{};
    if (family == AF_INET) {
        auto* ipv4 = reinterpret_cast<sockaddr_in*>(&storage);
        ipv4->sin_family = AF_INET;
        std::memcpy(&ipv4->sin_addr, address.data(), sizeof ipv4->sin_addr);
    } else {
        auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&storage);
        ipv6->sin6_family = AF_INET6;
        std::memcpy(&ipv6->sin6_addr, address.data(), sizeof ipv6->sin6_addr);
        ipv6->sin6_scope_id = scope;
    }
    return storage;
}

}  // namespace Zelm::DnsSd

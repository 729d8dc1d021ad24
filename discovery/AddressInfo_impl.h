#pragma once

#include "MDNSBase_impl.h"

#include <zelm/Error.h>
#include <zelm/mdns/AddressInfoInterface.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace Zelm::MDNS::Apple {

// Looks up the socket address of one host name, for at most 4000 ms, and
// renders it as numeric text. The lookup ends with the first burst of replies.
// Lookups started on one component from several threads run one at a time.
class AddressInfo_impl : public MDNSBase_impl, public Zelm::MDNS::AddressInfoInterface {
public:
    AddressInfo_impl();
    ~AddressInfo_impl() override;

    bool isInitialized() const override;

    Zelm::Error getAddressInfo(const char* hostname, unsigned int protocol, unsigned int interfaceIndex,
                               unsigned int flags) override;
    // The first 16 bytes of the stored address, whatever its family.
    struct sockaddr getSocketAddress() const override;
    // The stored address as numeric text; empty unless the last lookup ended
    // with a reply.
    std::string getSocketAddressAsString() const override;

    static void __DNSServiceGetAddrInfoReplyFunc__(DNSServiceRef sdRef, DNSServiceFlags flags,
                                                   uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                                   const char* hostname, const struct sockaddr* address,
                                                   uint32_t ttl, void* context);

protected:
    // Room for either family, read according to its family field. Starts all
    // zero and keeps the address of the last successful reply of any lookup.
    // Guarded by `mutex`.
    union SocketAddress {
        struct sockaddr plain;
        struct sockaddr_in v4;
        struct sockaddr_in6 v6;
    };
    SocketAddress socketAddress;
};

}  // namespace Zelm::MDNS::Apple

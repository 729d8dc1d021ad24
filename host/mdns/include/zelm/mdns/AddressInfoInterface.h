#pragma once

#include <zelm/Error.h>
#include <zelm/Export.h>

#include <sys/socket.h>

#include <string>

namespace Zelm::MDNS {

// Finds the socket address of one host name and renders it as numeric text.
class ZELM_API AddressInfoInterface {
public:
    AddressInfoInterface();
    virtual ~AddressInfoInterface();

    virtual Zelm::Error getAddressInfo(const char* hostname, unsigned int protocol,
                                       unsigned int interfaceIndex, unsigned int flags) = 0;
    virtual struct sockaddr getSocketAddress() const = 0;
    virtual std::string getSocketAddressAsString() const = 0;
    virtual bool isInitialized() const = 0;

    static std::string InterfaceTypeName();
};

}  // namespace Zelm::MDNS

#pragma once

#include <zelm/Error.h>
#include <zelm/Export.h>

#include <string>

namespace Zelm::MDNS {

// Advertises one service until the component's life cycle ends.
class ZELM_API ServiceRegisterInterface {
public:
    ServiceRegisterInterface();
    virtual ~ServiceRegisterInterface();

    virtual Zelm::Error doServiceRegister(const char* regtype, unsigned short port, unsigned short txtLen,
                                          const void* txtRecord, const char* name, const char* domain,
                                          const char* host, unsigned int interfaceIndex,
                                          unsigned int flags) = 0;
    virtual bool isInitialized() const = 0;

    static std::string InterfaceTypeName();
};

}  // namespace Zelm::MDNS

#pragma once

#include <zelm/Error.h>
#include <zelm/Export.h>

#include <string>

namespace Zelm::MDNS {

// Turns one service instance into its target host, port and TXT record.
class ZELM_API ResolveInterface {
public:
    ResolveInterface();
    virtual ~ResolveInterface();

    virtual Zelm::Error resolveService(const char* name, const char* regtype, const char* domain,
                                       unsigned int interfaceIndex, unsigned int flags) = 0;
    virtual const std::string& getHosttarget() const = 0;
    virtual const std::string& getFullname() const = 0;
    virtual unsigned short getPort() const = 0;
    virtual const std::string& getTxtRecord() const = 0;
    virtual bool isInitialized() const = 0;

    static std::string InterfaceTypeName();
};

}  // namespace Zelm::MDNS

#pragma once

#include <zelm/Error.h>
#include <zelm/Export.h>
#include <zelm/mdns/Info.h>

#include <functional>
#include <string>
#include <vector>

namespace Zelm::MDNS {

// Collects the instances of one service type in one domain for a time-out.
class ZELM_API BrowseInterface {
public:
    BrowseInterface();
    virtual ~BrowseInterface();

    virtual Zelm::Error browseService(unsigned int timeoutMs, const char* regtype, const char* domain,
                                      unsigned int interfaceIndex, unsigned int flags,
                                      std::function<void(const Zelm::MDNS::Info&)> callback) = 0;
    virtual std::vector<Zelm::MDNS::Info> getInfo() const = 0;
    virtual bool isInitialized() const = 0;

    static std::string InterfaceTypeName();
};

}  // namespace Zelm::MDNS

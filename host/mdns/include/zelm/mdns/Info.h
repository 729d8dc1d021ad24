#pragma once

#include <zelm/Export.h>

#include <string>

namespace Zelm::MDNS {

// One browse result: an instance of a service type as the daemon reported it.
class ZELM_API Info {
public:
    Info(const std::string& serviceName, const std::string& regtype, const std::string& replyDomain,
         int interfaceIndex);
    Info(const Info&) = default;
    Info& operator=(const Info&) = default;
    ~Info() = default;

    std::string serviceName;
    std::string regtype;
    std::string replyDomain;
    int interfaceIndex;
};

inline bool operator==(const Info& a, const Info& b) {
    return a.serviceName == b.serviceName && a.regtype == b.regtype && a.replyDomain == b.replyDomain &&
           a.interfaceIndex == b.interfaceIndex;
}

}  // namespace Zelm::MDNS

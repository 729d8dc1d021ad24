#include <zelm/mdns/Info.h>

namespace Zelm::MDNS {

Info::Info(const std::string& serviceName, const std::string& regtype, const std::string& replyDomain,
           int interfaceIndex)
    : serviceName(serviceName), regtype(regtype), replyDomain(replyDomain), interfaceIndex(interfaceIndex) {}

}  // namespace Zelm::MDNS

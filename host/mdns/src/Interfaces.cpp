// Out-of-line members of the four component interfaces. Defining the
// destructors here anchors each interface's vtable and type information in this
// library, so that every module sees one identity for each interface.
#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

namespace Zelm::MDNS {

BrowseInterface::BrowseInterface() = default;
BrowseInterface::~BrowseInterface() = default;
std::string BrowseInterface::InterfaceTypeName() { return "Zelm::MDNS::BrowseInterface"; }

ResolveInterface::ResolveInterface() = default;
ResolveInterface::~ResolveInterface() = default;
std::string ResolveInterface::InterfaceTypeName() { return "Zelm::MDNS::ResolveInterface"; }

AddressInfoInterface::AddressInfoInterface() = default;
AddressInfoInterface::~AddressInfoInterface() = default;
std::string AddressInfoInterface::InterfaceTypeName() { return "Zelm::MDNS::AddressInfoInterface"; }

ServiceRegisterInterface::ServiceRegisterInterface() = default;
ServiceRegisterInterface::~ServiceRegisterInterface() = default;
std::string ServiceRegisterInterface::InterfaceTypeName() { return "Zelm::MDNS::ServiceRegisterInterface"; }

}  // namespace Zelm::MDNS

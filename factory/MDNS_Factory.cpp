#include "MDNS_Factory.h"

#include "AddressInfo_impl.h"
#include "Browse_impl.h"
#include "Resolve_impl.h"
#include "ServiceRegister_impl.h"

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include <memory>
#include <string>
#include <vector>

namespace Zelm::MDNS::Apple {

namespace {

// The shared pointer is built from the concrete pointer, so its deleter
// destroys the complete component: ComponentInterface has no virtual
// destructor. The creator arguments are not used by any of the four.
std::shared_ptr<Zelm::ComponentInterface> makeBrowse(const std::vector<std::string>&) {
    return std::shared_ptr<Zelm::ComponentInterface>(new Browse_impl());
}

std::shared_ptr<Zelm::ComponentInterface> makeServiceRegister(const std::vector<std::string>&) {
    // The host expects doServiceRegister to return once the daemon has
    // confirmed the name.
    return std::shared_ptr<Zelm::ComponentInterface>(new ServiceRegister_impl(true));
}

std::shared_ptr<Zelm::ComponentInterface> makeResolve(const std::vector<std::string>&) {
    return std::shared_ptr<Zelm::ComponentInterface>(new Resolve_impl());
}

std::shared_ptr<Zelm::ComponentInterface> makeAddressInfo(const std::vector<std::string>&) {
    return std::shared_ptr<Zelm::ComponentInterface>(new AddressInfo_impl());
}

}  // namespace

MDNS_Factory::~MDNS_Factory() = default;

void MDNS_Factory::startLifeCycle() {
    // Each registration takes the registry lock on its own; if one throws, the
    // creators added before it stay registered.
    addComponentCreator(Zelm::MDNS::BrowseInterface::InterfaceTypeName(), Creator(&makeBrowse));
    addComponentCreator(Zelm::MDNS::ServiceRegisterInterface::InterfaceTypeName(),
                        Creator(&makeServiceRegister));
    addComponentCreator(Zelm::MDNS::ResolveInterface::InterfaceTypeName(), Creator(&makeResolve));
    addComponentCreator(Zelm::MDNS::AddressInfoInterface::InterfaceTypeName(), Creator(&makeAddressInfo));
}

void MDNS_Factory::endLifeCycle() { removeAllComponentCreators(); }

}  // namespace Zelm::MDNS::Apple

#include "EntryPoint.h"

#include "MDNS_Factory.h"

extern "C" void getComponentFactory(std::shared_ptr<Zelm::ComponentFactoryInterface>& factory) {
    // Owned from the complete object's pointer, so the last owner destroys the
    // whole factory. `factory` changes only once everything has succeeded.
    std::shared_ptr<Zelm::ComponentFactoryInterface> created(new Zelm::MDNS::Apple::MDNS_Factory());
    factory = std::move(created);
}

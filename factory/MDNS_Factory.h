#pragma once

#include <zelm/framework/ComponentFactory_Base.h>
#include <zelm/framework/Component_Base.h>
#include <zelm/framework/PassiveInterface.h>

namespace Zelm::MDNS::Apple {

// The plug-in's component factory. While its life cycle runs it holds one
// creator per mDNS component interface, keyed by the interface's type name;
// it keeps no reference to the components it makes, so they outlive it freely.
class MDNS_Factory : public Zelm::Component_Base,
                     public Zelm::ComponentFactory_Base,
                     public Zelm::LifeCycle::PassiveInterface {
public:
    MDNS_Factory() = default;
    MDNS_Factory(const MDNS_Factory&) = delete;
    MDNS_Factory& operator=(const MDNS_Factory&) = delete;
    virtual ~MDNS_Factory();

    // Registers the browse, register, resolve and address-lookup creators, in
    // that order. Keys already present keep their creator, so a repeated start
    // changes nothing.
    void startLifeCycle() override;
    // Removes every creator; components already made live on.
    void endLifeCycle() override;
};

}  // namespace Zelm::MDNS::Apple

#pragma once

// Loads the plug-in with dlopen and hands out its components, exactly as a
// host application does: through getComponentFactory, the factory's life
// cycle and the four component interfaces.

#include <zelm/framework/ComponentFactoryInterface.h>
#include <zelm/framework/ComponentInterface.h>
#include <zelm/framework/PassiveInterface.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace Zelm::Tool {

// A component and its interface. `owner` keeps it alive; it must be released
// before the plug-in that made it is unloaded.
template <typename Interface>
struct Component {
    std::shared_ptr<Zelm::ComponentInterface> owner;
    Interface* api = nullptr;
    Zelm::LifeCycle::PassiveInterface* lifeCycle = nullptr;

    Interface* operator->() const { return api; }
};

class Plugin {
public:
    // Whether the destructor unloads the library. Most hosts keep a plug-in
    // until the process ends; a host that unloads it must first release
    // every component it made.
    enum class AtEnd { KeepLoaded, Unload };

    // Throws std::runtime_error with dlopen's or dlsym's message.
    explicit Plugin(const std::string& path, AtEnd atEnd = AtEnd::KeepLoaded);
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    // Ends the factory's life cycle and releases it, then unloads as asked.
    ~Plugin();

    // A new component for Interface's type name. Throws std::runtime_error when the
    // factory has no creator for it or the component lacks the interface.
    template <typename Interface>
    Component<Interface> create() const {
        Component<Interface> component;
        component.owner = createByName(Interface::InterfaceTypeName());
        component.api = dynamic_cast<Interface*>(component.owner.get());
        component.lifeCycle = dynamic_cast<Zelm::LifeCycle::PassiveInterface*>(component.owner.get());
        if (component.api == nullptr || component.lifeCycle == nullptr) {
            throw std::runtime_error("component " + Interface::InterfaceTypeName() +
                                     " of the plug-in does not implement its interface");
        }
        return component;
    }

private:
    std::shared_ptr<Zelm::ComponentInterface> createByName(const std::string& name) const;

    AtEnd atEnd_;
    void* handle_ = nullptr;
    std::shared_ptr<Zelm::ComponentFactoryInterface> factory_;
    Zelm::LifeCycle::PassiveInterface* factoryLifeCycle_ = nullptr;
};

}  // namespace Zelm::Tool

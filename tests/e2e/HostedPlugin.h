#pragma once

// The plug-in as a host sees it: a file opened with dlopen and one C entry
// point found with dlsym. Nothing of the plug-in is linked into the tests
// that use this.

#include <zelm/framework/ComponentFactoryInterface.h>
#include <zelm/framework/PassiveInterface.h>

#include <dlfcn.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace plugin_host {

using GetComponentFactory = void (*)(std::shared_ptr<Zelm::ComponentFactoryInterface>&);

class HostedPlugin {
public:
    enum class AtEnd { Unload, KeepLoaded };

    explicit HostedPlugin(const char* path, AtEnd atEnd = AtEnd::Unload) : atEnd_(atEnd) {
        handle_ = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
        }
        entry_ = reinterpret_cast<GetComponentFactory>(::dlsym(handle_, "getComponentFactory"));
        if (entry_ == nullptr) {
            ::dlclose(handle_);
            throw std::runtime_error("getComponentFactory not exported");
        }
    }
    HostedPlugin(const HostedPlugin&) = delete;
    HostedPlugin& operator=(const HostedPlugin&) = delete;
    ~HostedPlugin() {
        if (atEnd_ == AtEnd::Unload) ::dlclose(handle_);
    }

    void getComponentFactory(std::shared_ptr<Zelm::ComponentFactoryInterface>& factory) const {
        entry_(factory);
    }
    std::shared_ptr<Zelm::ComponentFactoryInterface> newFactory() const {
        std::shared_ptr<Zelm::ComponentFactoryInterface> factory;
        entry_(factory);
        return factory;
    }

private:
    AtEnd atEnd_;
    void* handle_ = nullptr;
    GetComponentFactory entry_ = nullptr;
};

inline Zelm::LifeCycle::PassiveInterface& lifeCycleOf(Zelm::ComponentFactoryInterface& factory) {
    auto* lifeCycle = dynamic_cast<Zelm::LifeCycle::PassiveInterface*>(&factory);
    if (lifeCycle == nullptr) throw std::runtime_error("factory has no life cycle");
    return *lifeCycle;
}

// A component reached through one of its interfaces, as a host holds it.
template <typename Interface>
struct Held {
    std::shared_ptr<Zelm::ComponentInterface> owner;
    Interface* api = nullptr;
    Interface* operator->() const { return api; }
};

template <typename Interface>
Held<Interface> create(Zelm::ComponentFactoryInterface& factory) {
    Held<Interface> held;
    held.owner = factory.createComponent(Interface::InterfaceTypeName(), {});
    if (!held.owner) throw std::runtime_error("no component for " + Interface::InterfaceTypeName());
    held.api = dynamic_cast<Interface*>(held.owner.get());
    if (held.api == nullptr) throw std::runtime_error("component lacks " + Interface::InterfaceTypeName());
    return held;
}

}  // namespace plugin_host

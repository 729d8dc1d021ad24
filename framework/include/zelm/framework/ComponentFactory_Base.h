#pragma once

#include <zelm/framework/ComponentFactoryInterface.h>

#include <functional>
#include <mutex>

namespace Zelm {

// Thread-safe registry of component creators, keyed by interface name. A
// creator runs with the registry mutex held, so components of one factory are
// built one after the other; a creator must not call back into its registry.
class ComponentFactory_Base : public ComponentFactoryInterface {
public:
    std::shared_ptr<ComponentInterface> createComponent(std::string name,
                                                        const std::vector<std::string>& args) override {
        std::lock_guard<std::mutex> lock(registryMutex_);
        std::shared_ptr<ComponentInterface> result;
        const auto found = creators_.find(name);
        if (found == creators_.end()) {
            return result;
        }
        if (!found->second) {
            throw std::bad_function_call();
        }
        result = found->second(args);
        return result;
    }

    // The live map, not a copy; read it only while nobody changes the registry.
    const CreatorMap& supportedComponents() const override { return creators_; }

    ~ComponentFactory_Base() override = default;

    // Keeps the creator already registered under `name`, if any.
    virtual void addComponentCreator(const std::string& name, Creator creator) {
        std::lock_guard<std::mutex> lock(registryMutex_);
        creators_.emplace(name, creator);
    }

    virtual void removeComponentCreator(const std::string& name) {
        std::lock_guard<std::mutex> lock(registryMutex_);
        creators_.erase(name);
    }

    virtual void removeAllComponentCreators() {
        std::lock_guard<std::mutex> lock(registryMutex_);
        creators_.clear();
    }

private:
    CreatorMap creators_;
    std::mutex registryMutex_;
};

}  // namespace Zelm

#pragma once

#include <zelm/framework/ComponentInterface.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Zelm {

// The host's view of a component factory.
class ComponentFactoryInterface {
public:
    using Creator = std::function<std::shared_ptr<ComponentInterface>(const std::vector<std::string>&)>;
    using CreatorMap = std::map<std::string, Creator>;

    virtual std::shared_ptr<ComponentInterface> createComponent(std::string name,
                                                                const std::vector<std::string>& args) = 0;
    virtual const CreatorMap& supportedComponents() const = 0;
    virtual ~ComponentFactoryInterface() = default;
};

}  // namespace Zelm

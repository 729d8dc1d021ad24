#pragma once

#include <string>

namespace Zelm {

// Root interface of every component. Components are always deleted as their
// concrete class (through shared pointers made from the concrete pointer), so
// this interface has no virtual destructor.
class ComponentInterface {
public:
    virtual const std::string& instanceId() const = 0;
    virtual void setInstanceId(const std::string& id) = 0;

protected:
    ComponentInterface() = default;
    ComponentInterface(const ComponentInterface&) = default;
    ComponentInterface& operator=(const ComponentInterface&) = default;
    ~ComponentInterface() = default;
};

}  // namespace Zelm

#pragma once

#include <zelm/framework/ComponentInterface.h>

#include <string>

namespace Zelm {

// Gives a component its instance id. The id is not guarded: the host sets it
// before it shares the component between threads.
class Component_Base : public virtual ComponentInterface {
public:
    const std::string& instanceId() const override { return instanceId_; }
    void setInstanceId(const std::string& id) override { instanceId_ = id; }

protected:
    Component_Base() = default;
    ~Component_Base() = default;

private:
    std::string instanceId_;
};

}  // namespace Zelm

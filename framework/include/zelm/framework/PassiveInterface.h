#pragma once

namespace Zelm::LifeCycle {

// A life cycle that the host starts and ends.
class PassiveInterface {
public:
    virtual void startLifeCycle() = 0;
    virtual void endLifeCycle() = 0;

protected:
    PassiveInterface() = default;
    PassiveInterface(const PassiveInterface&) = default;
    PassiveInterface& operator=(const PassiveInterface&) = default;
    ~PassiveInterface() = default;
};

}  // namespace Zelm::LifeCycle

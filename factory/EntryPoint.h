#pragma once

// The plug-in's one exported function. A host finds it with
// dlsym(handle, getComponentFactorySymbol) and calls it through
// GetComponentFactoryFunction.

#include <zelm/framework/ComponentFactoryInterface.h>

#include <memory>

extern "C" {

// Replaces `factory` with a new, not yet started MDNS factory. Every call
// makes an independent factory; the previous content of `factory` is released.
__attribute__((visibility("default"))) void getComponentFactory(
    std::shared_ptr<Zelm::ComponentFactoryInterface>& factory);
}

namespace Zelm::MDNS::Apple {

using GetComponentFactoryFunction = void (*)(std::shared_ptr<Zelm::ComponentFactoryInterface>&);
inline constexpr const char* getComponentFactorySymbol = "getComponentFactory";

}  // namespace Zelm::MDNS::Apple

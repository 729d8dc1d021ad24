#pragma once

// The plug-in's one exported function. A host finds it with
// dlsym(handle, "getComponentFactory").

#include <zelm/framework/ComponentFactoryInterface.h>

#include <memory>

extern "C" {

// Replaces `factory` with a new, not yet started MDNS factory. Every call
// makes an independent factory; the previous content of `factory` is released.
__attribute__((visibility("default"))) void getComponentFactory(
    std::shared_ptr<Zelm::ComponentFactoryInterface>& factory);
}

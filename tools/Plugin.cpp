#include "Plugin.h"

#include <dlfcn.h>

namespace Zelm::Tool {

namespace {

// What every host knows of a plug-in: the name and type of its one entry point.
constexpr const char* kEntryPoint = "getComponentFactory";
using GetComponentFactory = void (*)(std::shared_ptr<Zelm::ComponentFactoryInterface>&);

std::string lastDlError(const std::string& fallback) {
    const char* text = ::dlerror();
    return text != nullptr ? std::string(text) : fallback;
}

}  // namespace

Plugin::Plugin(const std::string& path, AtEnd atEnd) : atEnd_(atEnd) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw std::runtime_error("cannot load the plug-in: " + lastDlError("unknown error"));
    }
    ::dlerror();
    void* symbol = ::dlsym(handle_, kEntryPoint);
    if (symbol == nullptr) {
        const std::string reason = lastDlError("symbol not found");
        ::dlclose(handle_);
        throw std::runtime_error(path + " is not an mDNS plug-in: " + reason);
    }
    const auto getComponentFactory = reinterpret_cast<GetComponentFactory>(symbol);
    try {
        getComponentFactory(factory_);
        factoryLifeCycle_ = dynamic_cast<Zelm::LifeCycle::PassiveInterface*>(factory_.get());
        if (factoryLifeCycle_ == nullptr) {
            throw std::runtime_error(path + " returned a factory without a life cycle");
        }
        factoryLifeCycle_->startLifeCycle();
    } catch (...) {
        factory_.reset();
        ::dlclose(handle_);
        throw;
    }
}

Plugin::~Plugin() {
    if (factoryLifeCycle_ != nullptr) {
        factoryLifeCycle_->endLifeCycle();
    }
    factory_.reset();
    if (atEnd_ == AtEnd::Unload) {
        ::dlclose(handle_);
    }
}

std::shared_ptr<Zelm::ComponentInterface> Plugin::createByName(const std::string& name) const {
    auto component = factory_->createComponent(name, {});
    if (!component) {
        throw std::runtime_error("the plug-in offers no component " + name);
    }
    return component;
}

}  // namespace Zelm::Tool

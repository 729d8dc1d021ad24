// A host written against the installed package: loads the plug-in from
// ZELM_PLUGIN, browses one service type and prints the instances' names.

#include <zelm/framework/ComponentFactoryInterface.h>
#include <zelm/framework/PassiveInterface.h>
#include <zelm/mdns/BrowseInterface.h>

#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
    void* lib = dlopen(ZELM_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr || argc != 2) return std::fprintf(stderr, "usage: consumer TYPE (%s)\n", dlerror()), 2;
    using Entry = void (*)(std::shared_ptr<Zelm::ComponentFactoryInterface>&);
    std::shared_ptr<Zelm::ComponentFactoryInterface> factory;
    reinterpret_cast<Entry>(dlsym(lib, "getComponentFactory"))(factory);
    dynamic_cast<Zelm::LifeCycle::PassiveInterface&>(*factory).startLifeCycle();
    auto component = factory->createComponent(Zelm::MDNS::BrowseInterface::InterfaceTypeName(), {});
    auto& browse = dynamic_cast<Zelm::MDNS::BrowseInterface&>(*component);
    browse.browseService(2000, argv[1], "local.", 0, 0, nullptr);
    for (const Zelm::MDNS::Info& info : browse.getInfo()) std::printf("%s\n", info.serviceName.c_str());
    component.reset();
    factory.reset();
    return dlclose(lib);
}

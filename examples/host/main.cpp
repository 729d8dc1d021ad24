// A host of the plug-in, as README.md shows it: loads the plug-in from its
// installed path (ZELM_PLUGIN, from the CMake package or pkg-config), browses
// one service type and prints the instances found.

#include <zelm/framework/ComponentFactoryInterface.h>
#include <zelm/framework/PassiveInterface.h>
#include <zelm/mdns/BrowseInterface.h>

#include <dlfcn.h>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    if (argc != 2) return std::fprintf(stderr, "usage: %s TYPE\n", argv[0]), 2;
    void* lib = dlopen(ZELM_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return std::fprintf(stderr, "%s\n", dlerror()), 1;
    using Entry = void (*)(std::shared_ptr<Zelm::ComponentFactoryInterface>&);
    auto getComponentFactory = reinterpret_cast<Entry>(dlsym(lib, "getComponentFactory"));
    if (getComponentFactory == nullptr) return std::fprintf(stderr, "%s\n", dlerror()), 1;

    std::shared_ptr<Zelm::ComponentFactoryInterface> factory;
    getComponentFactory(factory);
    auto& life = dynamic_cast<Zelm::LifeCycle::PassiveInterface&>(*factory);
    life.startLifeCycle();  // registers the four components

    auto component = factory->createComponent(Zelm::MDNS::BrowseInterface::InterfaceTypeName(), {});
    auto& browse = dynamic_cast<Zelm::MDNS::BrowseInterface&>(*component);
    // Lasts its time-out; code 0 when it found anything.
    const Zelm::Error result = browse.browseService(2000, argv[1], "local.", 0, 0, nullptr);
    for (const Zelm::MDNS::Info& info : browse.getInfo()) {
        std::printf("%s %s%s\n", info.serviceName.c_str(), info.regtype.c_str(), info.replyDomain.c_str());
    }

    life.endLifeCycle();  // components already made live on
    component.reset();
    factory.reset();  // release everything before dlclose(lib)
    dlclose(lib);
    return result.ok() ? 0 : 1;
}

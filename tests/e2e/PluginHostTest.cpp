// A host that loads the built plug-in with dlopen, as a real host does, and
// checks the factory's life cycle and the components it hands out. Nothing
// here talks to a DNS-SD daemon: components are made and released idle.

#include "HostedPlugin.h"

#include <zelm/framework/Component_Base.h>
#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using plugin_host::HostedPlugin;
using plugin_host::lifeCycleOf;

HostedPlugin* plugin = nullptr;

// Loaded once for the whole program and unloaded at its end, after every
// component and factory has been released.
class PluginEnvironment : public ::testing::Environment {
public:
    void SetUp() override { plugin = new HostedPlugin(ZELM_PLUGIN_FILE); }
    void TearDown() override {
        delete plugin;
        plugin = nullptr;
    }
};

const ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new PluginEnvironment);

std::vector<std::string> interfaceNames() {
    std::vector<std::string> names{Zelm::MDNS::BrowseInterface::InterfaceTypeName(),
                                   Zelm::MDNS::ServiceRegisterInterface::InterfaceTypeName(),
                                   Zelm::MDNS::ResolveInterface::InterfaceTypeName(),
                                   Zelm::MDNS::AddressInfoInterface::InterfaceTypeName()};
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> keysOf(const Zelm::ComponentFactoryInterface& factory) {
    std::vector<std::string> keys;
    for (const auto& entry : factory.supportedComponents()) keys.push_back(entry.first);
    return keys;
}

bool createsNothing(Zelm::ComponentFactoryInterface& factory) {
    for (const std::string& name : interfaceNames()) {
        if (factory.createComponent(name, {}) != nullptr) return false;
    }
    return true;
}

TEST(PluginHost, FactoryLifeCycleControlsTheFourCreators) {
    auto factory = plugin->newFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_TRUE(factory->supportedComponents().empty());
    EXPECT_TRUE(createsNothing(*factory));

    auto& lifeCycle = lifeCycleOf(*factory);
    lifeCycle.startLifeCycle();
    EXPECT_EQ(keysOf(*factory), interfaceNames());
    lifeCycle.startLifeCycle();
    EXPECT_EQ(keysOf(*factory), interfaceNames());

    lifeCycle.endLifeCycle();
    EXPECT_TRUE(factory->supportedComponents().empty());
    EXPECT_TRUE(createsNothing(*factory));
    lifeCycle.startLifeCycle();
    EXPECT_EQ(keysOf(*factory), interfaceNames());
    EXPECT_EQ(factory->createComponent("Zelm::MDNS::NoSuchInterface", {}), nullptr);
    EXPECT_EQ(dynamic_cast<Zelm::Component_Base&>(*factory).instanceId(), "");
}

TEST(PluginHost, EachInterfaceNameYieldsNewIdleComponentsWithThatInterface) {
    auto factory = plugin->newFactory();
    lifeCycleOf(*factory).startLifeCycle();

    auto browse = plugin_host::create<Zelm::MDNS::BrowseInterface>(*factory);
    auto reg = plugin_host::create<Zelm::MDNS::ServiceRegisterInterface>(*factory);
    auto resolve = plugin_host::create<Zelm::MDNS::ResolveInterface>(*factory);
    auto lookup = plugin_host::create<Zelm::MDNS::AddressInfoInterface>(*factory);

    EXPECT_FALSE(browse->isInitialized() || reg->isInitialized() || resolve->isInitialized() ||
                 lookup->isInitialized());
    EXPECT_TRUE(browse->getInfo().empty());
    EXPECT_EQ(lookup->getSocketAddressAsString(), "");
    for (const auto* owner : {&browse.owner, &reg.owner, &resolve.owner, &lookup.owner}) {
        EXPECT_EQ(owner->use_count(), 1);  // the factory keeps no reference
        EXPECT_NE(dynamic_cast<Zelm::LifeCycle::PassiveInterface*>(owner->get()), nullptr);
    }
    // A browse component is not a resolver: the casts follow the real classes.
    EXPECT_EQ(dynamic_cast<Zelm::MDNS::ResolveInterface*>(browse.owner.get()), nullptr);
    for (const std::string& name : interfaceNames()) {
        EXPECT_NE(factory->createComponent(name, {}), factory->createComponent(name, {})) << name;
    }
}

TEST(PluginHost, ComponentsOutliveEndedAndDestroyedFactories) {
    plugin_host::Held<Zelm::MDNS::ResolveInterface> resolve;
    plugin_host::Held<Zelm::MDNS::ServiceRegisterInterface> reg;
    {
        auto factory = plugin->newFactory();
        lifeCycleOf(*factory).startLifeCycle();
        resolve = plugin_host::create<Zelm::MDNS::ResolveInterface>(*factory);
        reg = plugin_host::create<Zelm::MDNS::ServiceRegisterInterface>(*factory);
        lifeCycleOf(*factory).endLifeCycle();
    }
    EXPECT_EQ(resolve->getFullname(), "");
    EXPECT_FALSE(reg->isInitialized());
    auto& componentLifeCycle = dynamic_cast<Zelm::LifeCycle::PassiveInterface&>(*reg.owner);
    componentLifeCycle.startLifeCycle();
    componentLifeCycle.endLifeCycle();  // idle: nothing to tear down
    EXPECT_FALSE(reg->isInitialized());
}

TEST(PluginHost, GetComponentFactoryOnTheSamePointerReplacesTheFactory) {
    std::shared_ptr<Zelm::ComponentFactoryInterface> factory;
    plugin->getComponentFactory(factory);
    lifeCycleOf(*factory).startLifeCycle();
    std::weak_ptr<Zelm::ComponentFactoryInterface> first = factory;

    plugin->getComponentFactory(factory);
    EXPECT_TRUE(first.expired());
    ASSERT_NE(factory, nullptr);
    EXPECT_TRUE(factory->supportedComponents().empty());

    auto other = plugin->newFactory();
    EXPECT_NE(other, factory);
    lifeCycleOf(*other).startLifeCycle();
    EXPECT_TRUE(factory->supportedComponents().empty());  // factories are independent
}

}  // namespace

#include "EntryPoint.h"
#include "MDNS_Factory.h"

#include "AddressInfo_impl.h"
#include "Browse_impl.h"
#include "Resolve_impl.h"
#include "ServiceRegister_impl.h"

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include <thread>

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::MDNS;
using Factory = std::shared_ptr<Zelm::ComponentFactoryInterface>;

// Its life cycle registers the four interfaces and removes them. Each creator
// builds a new idle component of its class, whatever the arguments, keeps no
// reference to it, and makes no DNS-SD call; the component starts with an
// empty id and keeps the one it is given.
TEST(Factory, LifeCycleRegistersCreatorsOfNewIdleComponentsAndRemovesThem) {
    const std::string names[] = {
        BrowseInterface::InterfaceTypeName(), ServiceRegisterInterface::InterfaceTypeName(),
        ResolveInterface::InterfaceTypeName(), AddressInfoInterface::InterfaceTypeName()};
    auto factory = std::make_shared<Apple::MDNS_Factory>();
    EXPECT_TRUE(factory->supportedComponents().empty());
    factory->startLifeCycle();
    factory->startLifeCycle();  // keys already held stay as they are
    for (const std::string& name : names) EXPECT_EQ(factory->supportedComponents().count(name), 1u) << name;
    EXPECT_EQ(factory->supportedComponents().size(), 4u);
    EXPECT_EQ(factory->createComponent("Zelm::MDNS::NoSuchInterface", {}), nullptr);
    std::shared_ptr<Zelm::ComponentInterface> made[4];
    for (int i = 0; i < 4; ++i) made[i] = factory->createComponent(names[i], {"ignored", ""});
    EXPECT_NE(dynamic_cast<Apple::Browse_impl*>(made[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<Apple::ServiceRegister_impl*>(made[1].get()), nullptr);
    EXPECT_NE(dynamic_cast<Apple::Resolve_impl*>(made[2].get()), nullptr);
    EXPECT_NE(dynamic_cast<Apple::AddressInfo_impl*>(made[3].get()), nullptr);
    EXPECT_NE(factory->createComponent(names[0], {}), made[0]);
    for (const auto& component : made) {
        EXPECT_EQ(component.use_count(), 1);
        EXPECT_EQ(component->instanceId(), "");
        component->setInstanceId("mdns-7");
        EXPECT_EQ(component->instanceId(), "mdns-7");
    }
    EXPECT_TRUE(Zelm::Test::Double::calls().empty());
    factory->endLifeCycle();
    for (const std::string& name : names) EXPECT_EQ(factory->createComponent(name, {}), nullptr) << name;
}

// Components outlive their factory; a second getComponentFactory on the same
// pointer releases the first factory and hands out an independent, unstarted one.
TEST(Factory, EntryPointMakesIndependentFactoriesThatComponentsOutlive) {
    Factory factory;
    getComponentFactory(factory);
    dynamic_cast<Zelm::LifeCycle::PassiveInterface&>(*factory).startLifeCycle();
    auto component = factory->createComponent(ServiceRegisterInterface::InterfaceTypeName(), {});
    const std::weak_ptr<Zelm::ComponentFactoryInterface> first = factory;
    getComponentFactory(factory);
    EXPECT_TRUE(first.expired());
    EXPECT_TRUE(factory->supportedComponents().empty());

    Zelm::Test::Double::onStart("DNSServiceRegister", {Zelm::Test::registerReply("Svc")});
    auto* registration = dynamic_cast<ServiceRegisterInterface*>(component.get());
    EXPECT_TRUE(
        registration->doServiceRegister("_x._tcp", 80, 0, nullptr, "Svc", nullptr, nullptr, 0, 0).ok());
    EXPECT_TRUE(registration->isInitialized());
    dynamic_cast<Zelm::LifeCycle::PassiveInterface&>(*component).endLifeCycle();
}

}  // namespace

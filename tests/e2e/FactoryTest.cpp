// MDNS_Factory linked with the components and the scripted DNS-SD double:
// which creators exist, in which order they are registered, and what they
// build. The entry point and the life cycle as a loading host sees them are
// covered by plugin_host_tests.

#include "factory/MDNS_Factory.h"

#include "advertise/ServiceRegister_impl.h"
#include "discovery/AddressInfo_impl.h"
#include "discovery/Browse_impl.h"
#include "discovery/Resolve_impl.h"

#include "ScriptedDnsSd.h"
#include "TestSupport.h"

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

using Zelm::MDNS::Apple::MDNS_Factory;

const std::vector<std::string> interfaceNames{Zelm::MDNS::BrowseInterface::InterfaceTypeName(),
                                              Zelm::MDNS::ServiceRegisterInterface::InterfaceTypeName(),
                                              Zelm::MDNS::ResolveInterface::InterfaceTypeName(),
                                              Zelm::MDNS::AddressInfoInterface::InterfaceTypeName()};

// Records the keys in the order the factory registers them.
class RecordingFactory : public MDNS_Factory {
public:
    void addComponentCreator(const std::string& name, Creator creator) override {
        added.push_back(name);
        MDNS_Factory::addComponentCreator(name, std::move(creator));
    }
    std::vector<std::string> added;
};

class FactoryTest : public ::testing::Test {
protected:
    // A sanitizer may start a helper thread of its own with the first thread
    // the process makes; let that happen before any count is taken.
    static void SetUpTestSuite() {
        std::thread([] {}).join();
    }

    void SetUp() override {
        dnssd_double::Script::reset();
        threadsBefore = zelm_test::threadCount();
    }
    void TearDown() override {
        EXPECT_EQ(dnssd_double::Script::liveReferences(), 0u);
        EXPECT_EQ(dnssd_double::Script::violations(), 0u);
        EXPECT_EQ(zelm_test::threadCount(), threadsBefore);
    }
    int threadsBefore = 0;
};

// The life cycle as a loading host sees it is covered by plugin_host_tests;
// here: the order of registration and what a repeated start does.
TEST_F(FactoryTest, RegistersTheFourInterfacesInOrderOnEachStart) {
    RecordingFactory factory;
    factory.startLifeCycle();
    EXPECT_EQ(factory.added, interfaceNames);
    factory.startLifeCycle();  // keys already held stay as they are
    EXPECT_EQ(factory.added.size(), 8u);
    std::vector<std::string> keys;
    for (const auto& entry : factory.supportedComponents()) keys.push_back(entry.first);
    std::vector<std::string> sorted = interfaceNames;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(keys, sorted);
    factory.endLifeCycle();
    EXPECT_EQ(factory.createComponent(interfaceNames[0], {}), nullptr);
}

TEST_F(FactoryTest, EachCreatorBuildsAComponentOfItsClassWhateverTheArguments) {
    MDNS_Factory factory;
    factory.startLifeCycle();
    const std::vector<std::string> args{"ignored", ""};
    auto browse = factory.createComponent(Zelm::MDNS::BrowseInterface::InterfaceTypeName(), args);
    auto reg = factory.createComponent(Zelm::MDNS::ServiceRegisterInterface::InterfaceTypeName(), {});
    auto resolve = factory.createComponent(Zelm::MDNS::ResolveInterface::InterfaceTypeName(), args);
    auto lookup = factory.createComponent(Zelm::MDNS::AddressInfoInterface::InterfaceTypeName(), {});
    EXPECT_NE(dynamic_cast<Zelm::MDNS::Apple::Browse_impl*>(browse.get()), nullptr);
    EXPECT_NE(dynamic_cast<Zelm::MDNS::Apple::ServiceRegister_impl*>(reg.get()), nullptr);
    EXPECT_NE(dynamic_cast<Zelm::MDNS::Apple::Resolve_impl*>(resolve.get()), nullptr);
    EXPECT_NE(dynamic_cast<Zelm::MDNS::Apple::AddressInfo_impl*>(lookup.get()), nullptr);
    EXPECT_TRUE(dnssd_double::Script::calls().empty());  // building makes no DNS-SD call
}

TEST_F(FactoryTest, RegistrationComponentWaitsForTheDaemonsConfirmation) {
    MDNS_Factory factory;
    factory.startLifeCycle();
    auto component = factory.createComponent(Zelm::MDNS::ServiceRegisterInterface::InterfaceTypeName(), {});
    auto* reg = dynamic_cast<Zelm::MDNS::ServiceRegisterInterface*>(component.get());
    ASSERT_NE(reg, nullptr);

    std::thread::id deliveredOn;
    auto reply = dnssd_double::registerReply("Svc", "_x._tcp.", "local.");
    reply.beforeDelivery = [&deliveredOn] { deliveredOn = std::this_thread::get_id(); };
    dnssd_double::Script::onStart("DNSServiceRegister", {reply});

    const Zelm::Error outcome =
        reg->doServiceRegister("_x._tcp", 80, 0, nullptr, "Svc", nullptr, nullptr, 0, 0);
    EXPECT_TRUE(outcome.ok());
    // Waiting mode: the confirmation was processed inside the call.
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    EXPECT_TRUE(reg->isInitialized());
    dynamic_cast<Zelm::LifeCycle::PassiveInterface&>(*component).endLifeCycle();
    EXPECT_FALSE(reg->isInitialized());
}

}  // namespace

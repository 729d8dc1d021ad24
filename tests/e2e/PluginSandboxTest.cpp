// The dlopen host in the sandbox: one real operation of each kind through the
// loaded plug-in, against avahi-daemon on host A and the independent peer on
// host B.

#include "HostedPlugin.h"
#include "SandboxProcess.h"

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace {

using namespace zelm_sandbox;
using plugin_host::HostedPlugin;

const std::string serviceType = "_zelmhost._tcp";

class PluginInSandbox : public ::testing::Test {
protected:
    // Once the plug-in has talked to the daemon, the D-Bus and Avahi client
    // libraries it pulled in hold process-wide state that only the end of the
    // process releases; unloading them with it would show up as leaks. The
    // unload itself is covered by plugin_host_tests.
    static void SetUpTestSuite() {
        plugin = new HostedPlugin(ZELM_PLUGIN_FILE, HostedPlugin::AtEnd::KeepLoaded);
    }
    static void TearDownTestSuite() {
        delete plugin;
        plugin = nullptr;
    }
    void SetUp() override {
        factory = plugin->newFactory();
        plugin_host::lifeCycleOf(*factory).startLifeCycle();
    }
    void TearDown() override { plugin_host::lifeCycleOf(*factory).endLifeCycle(); }

    static HostedPlugin* plugin;
    std::shared_ptr<Zelm::ComponentFactoryInterface> factory;
};

HostedPlugin* PluginInSandbox::plugin = nullptr;

TEST_F(PluginInSandbox, BrowseFindsThePeersServiceAndReportsItThroughTheCallback) {
    const std::string name = uniqueName("Host Browse");
    PeerPublisher peer(name, serviceType, 7001);
    ASSERT_TRUE(peer.published());

    auto browse = plugin_host::create<Zelm::MDNS::BrowseInterface>(*factory);
    std::atomic<int> reported{0};
    const Zelm::Error outcome =
        browse->browseService(3000, serviceType.c_str(), "local.", 0, 0, [&](const Zelm::MDNS::Info& info) {
            if (info.serviceName == name) ++reported;
        });
    EXPECT_TRUE(outcome.ok()) << outcome.code();
    const auto found = browse->getInfo();
    const auto entry = std::find_if(found.begin(), found.end(),
                                    [&](const Zelm::MDNS::Info& info) { return info.serviceName == name; });
    ASSERT_NE(entry, found.end());
    EXPECT_EQ(entry->regtype.rfind(serviceType, 0), 0u) << entry->regtype;
    EXPECT_GT(entry->interfaceIndex, 0);
    EXPECT_GE(reported.load(), 1);
}

TEST_F(PluginInSandbox, ResolveAndLookupReachThePeersHostPortTxtAndAddress) {
    const std::string name = uniqueName("Host Resolve");
    PeerPublisher peer(name, serviceType, 7002, {"--txt", "a=1", "--txt", "flag"});
    ASSERT_TRUE(peer.published());

    auto resolve = plugin_host::create<Zelm::MDNS::ResolveInterface>(*factory);
    const Zelm::Error resolved = resolve->resolveService(name.c_str(), serviceType.c_str(), "local.", 0, 0);
    ASSERT_TRUE(resolved.ok()) << static_cast<int>(resolved.code());
    EXPECT_EQ(resolve->getPort(), 7002);
    EXPECT_EQ(resolve->getHosttarget(), sandboxVar("ZELM_SANDBOX_HOSTNAME_B") + ".local.");
    EXPECT_EQ(resolve->getTxtRecord(), std::string("\x03"
                                                   "a=1"
                                                   "\x04"
                                                   "flag"));
    EXPECT_NE(resolve->getFullname().find(serviceType), std::string::npos);

    auto lookup = plugin_host::create<Zelm::MDNS::AddressInfoInterface>(*factory);
    const Zelm::Error looked = lookup->getAddressInfo(resolve->getHosttarget().c_str(), 1, 0, 0);
    ASSERT_TRUE(looked.ok()) << static_cast<int>(looked.code());
    EXPECT_EQ(lookup->getSocketAddressAsString(), sandboxVar("ZELM_SANDBOX_ADDR_B"));
    EXPECT_EQ(lookup->getSocketAddress().sa_family, AF_INET);
}

TEST_F(PluginInSandbox, RegistrationIsSeenByThePeerUntilItsLifeCycleEnds) {
    const std::string name = uniqueName("Host Register");
    auto reg = plugin_host::create<Zelm::MDNS::ServiceRegisterInterface>(*factory);
    const std::string txt("\x05k=v w", 6);
    const Zelm::Error outcome =
        reg->doServiceRegister(serviceType.c_str(), 7003, static_cast<unsigned short>(txt.size()), txt.data(),
                               name.c_str(), nullptr, nullptr, 0, 0);
    ASSERT_TRUE(outcome.ok()) << static_cast<int>(outcome.code());
    EXPECT_TRUE(reg->isInitialized());
    EXPECT_FALSE(peerWaitFor(serviceType, name, {"--port", "7003", "--txt-hex", toHex(txt)}).is_null());

    dynamic_cast<Zelm::LifeCycle::PassiveInterface&>(*reg.owner).endLifeCycle();
    EXPECT_FALSE(reg->isInitialized());
    EXPECT_FALSE(peerWaitFor(serviceType, name, {"--gone"}).is_null());
}

}  // namespace

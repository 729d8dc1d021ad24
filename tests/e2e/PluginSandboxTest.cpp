// The dlopen host in the sandbox: one real operation of each kind through the
// loaded plug-in, against avahi-daemon on host A and the independent peer on
// host B. Exits 77 (skipped) outside the sandbox.

#include "HostedPlugin.h"
#include "SandboxPeer.h"

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace {

using namespace std::chrono_literals;
using plugin_host::HostedPlugin;
using plugin_host::SandboxPeer;

const std::string serviceType = "_zelmhost._tcp";
const std::string suffix = " " + std::to_string(::getpid());
// Peers end by themselves after this long, should this program die first.
const std::string peerSeconds = "60";

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
    void TearDown() override {
        plugin_host::lifeCycleOf(*factory).endLifeCycle();
        factory.reset();
    }

    static HostedPlugin* plugin;
    std::shared_ptr<Zelm::ComponentFactoryInterface> factory;
};

HostedPlugin* PluginInSandbox::plugin = nullptr;

std::string peerHost() { return plugin_host::sandboxVariable("ZELM_SANDBOX_HOSTNAME_B") + ".local."; }

TEST_F(PluginInSandbox, BrowseFindsThePeersServiceAndReportsItThroughTheCallback) {
    const std::string name = "Host Browse" + suffix;
    SandboxPeer peer(
        {"publish", "--name", name, "--type", serviceType, "--port", "7001", "--for", peerSeconds});
    ASSERT_TRUE(peer.waitForLine("\"published\"", 15s));

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
    const std::string name = "Host Resolve" + suffix;
    SandboxPeer peer({"publish", "--name", name, "--type", serviceType, "--port", "7002", "--txt", "a=1",
                      "--txt", "flag", "--for", peerSeconds});
    ASSERT_TRUE(peer.waitForLine("\"published\"", 15s));

    auto resolve = plugin_host::create<Zelm::MDNS::ResolveInterface>(*factory);
    const Zelm::Error resolved = resolve->resolveService(name.c_str(), serviceType.c_str(), "local.", 0, 0);
    ASSERT_TRUE(resolved.ok()) << static_cast<int>(resolved.code());
    EXPECT_EQ(resolve->getPort(), 7002);
    EXPECT_EQ(resolve->getHosttarget(), peerHost());
    EXPECT_EQ(resolve->getTxtRecord(), std::string("\x03"
                                                   "a=1"
                                                   "\x04"
                                                   "flag"));
    EXPECT_NE(resolve->getFullname().find(serviceType), std::string::npos);

    auto lookup = plugin_host::create<Zelm::MDNS::AddressInfoInterface>(*factory);
    const Zelm::Error looked = lookup->getAddressInfo(resolve->getHosttarget().c_str(), 1, 0, 0);
    ASSERT_TRUE(looked.ok()) << static_cast<int>(looked.code());
    EXPECT_EQ(lookup->getSocketAddressAsString(), plugin_host::sandboxVariable("ZELM_SANDBOX_ADDR_B"));
    EXPECT_EQ(lookup->getSocketAddress().sa_family, AF_INET);
}

TEST_F(PluginInSandbox, RegistrationIsSeenByThePeerUntilItsLifeCycleEnds) {
    const std::string name = "Host Register" + suffix;
    auto reg = plugin_host::create<Zelm::MDNS::ServiceRegisterInterface>(*factory);
    const std::string txt(
        "\x05"
        "k=v w",
        6);
    const Zelm::Error outcome =
        reg->doServiceRegister(serviceType.c_str(), 7003, static_cast<unsigned short>(txt.size()), txt.data(),
                               name.c_str(), nullptr, nullptr, 0, 0);
    ASSERT_TRUE(outcome.ok()) << static_cast<int>(outcome.code());
    EXPECT_TRUE(reg->isInitialized());

    EXPECT_EQ(plugin_host::runPeer(
                  {"wait", "--type", serviceType, "--name", name, "--port", "7003", "--timeout", "10"}, 30s),
              0);
    dynamic_cast<Zelm::LifeCycle::PassiveInterface&>(*reg.owner).endLifeCycle();
    EXPECT_FALSE(reg->isInitialized());
    EXPECT_EQ(plugin_host::runPeer(
                  {"wait", "--type", serviceType, "--name", name, "--gone", "--timeout", "10"}, 30s),
              0);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (std::getenv("ZELM_SANDBOX_DIR") == nullptr) {
        std::fprintf(stderr, "not inside the sandbox (ZELM_SANDBOX_DIR unset): skipped\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}

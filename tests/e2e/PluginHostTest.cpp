// The built plug-in as a host loads it: dlopen, its one entry point, the
// factory's life cycle and a component for each interface, through the same
// loader as zelm-mdns. Nothing here talks to a DNS-SD daemon.

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include "Plugin.h"
#include "TestSupport.h"

namespace {

using namespace Zelm::MDNS;

TEST(PluginHost, HandsOutNewIdleComponentsForEachInterface) {
    const zelm_mdns::Plugin plugin(ZELM_PLUGIN_FILE);
    const auto browse = plugin.create<BrowseInterface>();
    const auto registration = plugin.create<ServiceRegisterInterface>();
    const auto resolve = plugin.create<ResolveInterface>();
    const auto lookup = plugin.create<AddressInfoInterface>();
    EXPECT_FALSE(browse->isInitialized() || registration->isInitialized() || resolve->isInitialized() ||
                 lookup->isInitialized());
    EXPECT_TRUE(browse->getInfo().empty());
    EXPECT_EQ(resolve->getHosttarget(), "");
    EXPECT_EQ(lookup->getSocketAddressAsString(), "");
    EXPECT_NE(plugin.create<BrowseInterface>().owner, browse.owner);
    // The casts follow the real classes across the library boundary.
    EXPECT_EQ(dynamic_cast<ResolveInterface*>(browse.owner.get()), nullptr);
    registration.lifeCycle->endLifeCycle();  // idle: nothing to tear down
}

}  // namespace

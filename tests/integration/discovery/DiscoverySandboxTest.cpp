// Browse, resolve and address lookup against the real daemon on the
// sandbox's host A, with the independent peer on host B publishing.

#include "discovery/AddressInfo_impl.h"
#include "discovery/Browse_impl.h"
#include "discovery/Resolve_impl.h"

#include "SandboxProcess.h"
#include "TestSupport.h"

#include <dirent.h>
#include <net/if.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>

namespace {

using namespace zelm_sandbox;
using std::chrono::milliseconds;

constexpr const char* kType = "_zelmdisc._tcp";

int openDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

milliseconds since(Clock::time_point begin) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - begin);
}

std::string hostB() { return sandboxVar("ZELM_SANDBOX_HOSTNAME_B") + ".local."; }

// Shows the whole stored address, of which the interface hands out 16 bytes.
class InspectableLookup : public Zelm::MDNS::Apple::AddressInfo_impl {
public:
    sockaddr_in6 stored() const {
        std::lock_guard<std::mutex> lock(mutex);
        return socketAddress.v6;
    }
};

// An idle process holds no backend thread and no socket of a DNS-SD
// reference, so both counts coming back shows that every reference is gone.
class DiscoverySandbox : public ::testing::Test {
protected:
    void SetUp() override {
        std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
        threadsBefore_ = zelm_test::threadCount();
        descriptorsBefore_ = openDescriptors();
    }
    void TearDown() override {
        peer_.reset();
        const auto deadline = Clock::now() + 2s;
        while ((zelm_test::threadCount() != threadsBefore_ || openDescriptors() != descriptorsBefore_) &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(zelm_test::threadCount(), threadsBefore_);
        EXPECT_EQ(openDescriptors(), descriptorsBefore_);
    }

    // Publishes `name` on host B until the test ends.
    void publish(const std::string& name, int port, const std::string& txtHex = "00") {
        peer_ =
            std::make_unique<PeerPublisher>(name, kType, port, std::vector<std::string>{"--txt-hex", txtHex});
        ASSERT_TRUE(peer_->published());
    }

private:
    std::unique_ptr<PeerPublisher> peer_;
    int threadsBefore_ = 0;
    int descriptorsBefore_ = 0;
};

TEST_F(DiscoverySandbox, BrowseFindsThePeerAndReportsItAsItArrives) {
    const std::string name = uniqueName("Zelm Browse");
    publish(name, 8081);
    Zelm::MDNS::Apple::Browse_impl browse;
    std::mutex toldMutex;
    std::vector<milliseconds> toldAt;
    const auto begin = Clock::now();

    const Zelm::Error result =
        browse.browseService(3000, kType, nullptr, 0, 0, [&](const Zelm::MDNS::Info& info) {
            std::lock_guard<std::mutex> lock(toldMutex);
            if (info.serviceName == name) toldAt.push_back(since(begin));
        });

    EXPECT_EQ(result.code(), 0u);
    EXPECT_EQ(result.category(), Zelm::Error::Discovery);
    EXPECT_GE(since(begin), milliseconds(3000));  // a browse lasts its whole time-out
    std::vector<Zelm::MDNS::Info> ours;
    for (const Zelm::MDNS::Info& info : browse.getInfo()) {
        if (info.serviceName == name) ours.push_back(info);
    }
    ASSERT_FALSE(ours.empty());
    EXPECT_EQ(ours[0].regtype, std::string(kType) + ".");
    EXPECT_EQ(ours[0].replyDomain, "local.");
    EXPECT_GT(ours[0].interfaceIndex, 0);
    std::lock_guard<std::mutex> lock(toldMutex);
    ASSERT_EQ(toldAt.size(), ours.size());
    EXPECT_LT(toldAt[0], milliseconds(2500)) << "the callback came only near the end of the browse";
}

TEST_F(DiscoverySandbox, ResolveReturnsThePeersHostPortAndExactTxt) {
    const std::string name = uniqueName("Zelm Resolve");
    // "txtvers=1", then a value that holds a zero byte and a byte above 0x7f.
    const std::string txtHex = "09747874766572733d3105613d00ff22";
    publish(name, 8080, txtHex);
    Zelm::MDNS::Apple::Resolve_impl resolve;
    const auto begin = Clock::now();

    const Zelm::Error result = resolve.resolveService(name.c_str(), kType, "local.", 0, 0);

    EXPECT_LT(since(begin), milliseconds(3000));
    EXPECT_TRUE(result.ok()) << result.code();
    EXPECT_EQ(resolve.getHosttarget(), hostB());
    EXPECT_EQ(resolve.getPort(), 8080);
    EXPECT_EQ(toHex(resolve.getTxtRecord()), txtHex);
    EXPECT_NE(resolve.getFullname().find(std::string(kType) + ".local."), std::string::npos)
        << resolve.getFullname();
    EXPECT_TRUE(resolve.isInitialized());
}

TEST_F(DiscoverySandbox, AddressLookupRendersThePeersIPv4AndLinkLocalIPv6Address) {
    publish(uniqueName("Zelm Address"), 8082);
    InspectableLookup lookup;

    const auto begin = Clock::now();
    const Zelm::Error v4 = lookup.getAddressInfo(hostB().c_str(), kDNSServiceProtocol_IPv4, 0, 0);
    EXPECT_LT(since(begin), milliseconds(3000));
    EXPECT_TRUE(v4.ok()) << v4.code();
    EXPECT_EQ(lookup.getSocketAddressAsString(), sandboxVar("ZELM_SANDBOX_ADDR_B"));

    const Zelm::Error v6 = lookup.getAddressInfo(hostB().c_str(), kDNSServiceProtocol_IPv6, 0, 0);
    EXPECT_TRUE(v6.ok()) << v6.code();
    EXPECT_EQ(lookup.getSocketAddressAsString(), sandboxVar("ZELM_SANDBOX_ADDR6_B"));
    // A link-local address is usable only with the interface it was found on.
    EXPECT_EQ(lookup.stored().sin6_scope_id, ::if_nametoindex(sandboxVar("ZELM_SANDBOX_IF_A").c_str()));
}

TEST_F(DiscoverySandbox, ResolveOfAnUnpublishedInstanceFailsAfterItsTimeOut) {
    Zelm::MDNS::Apple::Resolve_impl resolve;
    const auto begin = Clock::now();

    const Zelm::Error result =
        resolve.resolveService(uniqueName("Zelm Nobody").c_str(), kType, "local.", 0, 0);

    EXPECT_GE(since(begin), milliseconds(3900));
    EXPECT_LT(since(begin), milliseconds(6000));
    EXPECT_EQ(result.code(), static_cast<unsigned int>(kDNSServiceErr_NotInitialized));
    EXPECT_EQ(result.category(), Zelm::Error::Service);
    EXPECT_EQ(resolve.getHosttarget(), "");
    EXPECT_FALSE(resolve.isInitialized());
}

// Nobody answers, so no reply comes and the lookup fails at its time-out.
TEST_F(DiscoverySandbox, LookupOfAnUnknownHostFailsAtItsTimeOut) {
    Zelm::MDNS::Apple::AddressInfo_impl lookup;
    const std::string host = "zelm-nobody-" + std::to_string(::getpid()) + ".local.";
    const auto begin = Clock::now();

    const Zelm::Error result = lookup.getAddressInfo(host.c_str(), kDNSServiceProtocol_IPv4, 0, 0);

    EXPECT_GE(since(begin), milliseconds(3900));
    EXPECT_FALSE(result.ok());
    EXPECT_FALSE(lookup.isInitialized());
    EXPECT_EQ(lookup.getSocketAddressAsString(), "");
}

}  // namespace

// A host that forks at any moment: the child uses the DNS-SD API over a
// daemon link of its own and ends with exit(), and the parent goes on as if
// nothing had happened. One row per moment; each prints a "fork |" line.

#include "Browse_impl.h"
#include "Resolve_impl.h"
#include "ServiceRegister_impl.h"

#include "Sandbox.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <thread>

static bool inForkedChild = false;

// A forked child's heap still holds what its parent's threads were using; the
// leak check of AddressSanitizer's runtime, at the child's exit, would report it.
extern "C" int __lsan_is_turned_off() { return inForkedChild ? 1 : 0; }

namespace {

using namespace Zelm::Test;
constexpr const char* kType = "_zelmfork._tcp";
constexpr unsigned short kPeerPort = 7301;

bool browseFinds(int timeoutMs, const std::vector<std::string>& names) {
    Zelm::MDNS::Apple::Browse_impl browse;
    if (!browse.browseService(timeoutMs, kType, nullptr, 0, 0, {}).ok()) return false;
    std::set<std::string> found;
    for (const auto& info : browse.getInfo()) found.insert(info.serviceName);
    return std::all_of(names.begin(), names.end(),
                       [&](const std::string& name) { return found.count(name) == 1; });
}

// The child's work: a browse of 500 ms that sees every name, and a resolve of
// the peer's service. Its exit status names the first step that failed.
int childWork(const std::vector<std::string>& names) {
    if (!browseFinds(500, names)) return 2;
    Zelm::MDNS::Apple::Resolve_impl resolve;
    if (!resolve.resolveService(names.front().c_str(), kType, "local.", 0, 0).ok()) return 3;
    return resolve.getPort() == kPeerPort ? 0 : 4;
}

// Forks a child that does childWork and ends with exit(): its exit status,
// or 128 + the signal that ended it (SIGALRM: it hung for 20 s).
int forkChild(const std::vector<std::string>& names) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        inForkedChild = true;
        ::alarm(20);
        std::exit(childWork(names));
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Fork, ChildAndParentAtEveryMoment) {
    const std::string peerName = uniqueName("Zelm Fork Peer");
    const std::string ownName = uniqueName("Zelm Fork Own");
    PeerPublisher peer(peerName, kType, kPeerPort);
    ASSERT_TRUE(peer.published());

    struct Moment {
        const char* name;
        // Runs the fork at its moment and returns the child's status; true
        // when the parent's own work around it went as it should.
        std::function<bool(int& child)> run;
    };
    const Moment moments[] = {
        {"mid-browse",
         [&](int& child) {
             bool parentFound = false;
             std::thread browsing([&] { parentFound = browseFinds(2000, {peerName}); });
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             child = forkChild({peerName});
             browsing.join();
             return parentFound;
         }},
        {"within the linger",
         [&](int& child) {
             Zelm::MDNS::Apple::Resolve_impl resolve;
             const bool resolved = resolve.resolveService(peerName.c_str(), kType, "local.", 0, 0).ok();
             child = forkChild({peerName});  // the link lingers for a second after the resolve
             return resolved && browseFinds(500, {peerName});
         }},
        {"with a registration held",
         [&](int& child) {
             Zelm::MDNS::Apple::ServiceRegister_impl own(true);
             const Zelm::Error registered =
                 own.doServiceRegister(kType, 7302, 0, nullptr, ownName.c_str(), nullptr, nullptr, 0, 0);
             child = forkChild({peerName, ownName});
             std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a withdrawal would be out by now
             return registered.ok() && !peerWaitFor(kType, ownName).is_null() && own.isInitialized();
         }},
        {"long after the last call",
         [&](int& child) {
             std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the link has ended
             child = forkChild({peerName});
             return browseFinds(500, {peerName});
         }},
    };
    for (const Moment& moment : moments) {
        SCOPED_TRACE(moment.name);
        int child = -3;
        const bool parent = moment.run(child);
        std::printf("fork | %s | child %s (status %d) | parent %s\n", moment.name,
                    child == 0 ? "ok" : "FAILED", child, parent ? "ok" : "FAILED");
        EXPECT_EQ(child, 0) << "142: the child hung; 2: its browse, 3: its resolve, 4: the port";
        EXPECT_TRUE(parent);
    }
}

}  // namespace

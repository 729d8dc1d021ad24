// The process-wide daemon link: which link requests start on, its grace
// period after the last reference let go, its end at unload and exit, and
// what a fork does to it.

#include "link/DaemonLink.h"

#include "link/LiveReferences.h"
#include "link/ProcessGeneration.h"

#include "RankedMutex.h"
#include "names/LocalServiceNames.h"

#include <dlfcn.h>
#include <pthread.h>

#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

namespace Zelm::DnsSd {

namespace {

// Constant-initialised and never destroyed: references may outlive static
// destruction at exit, and an unloaded library leaves nothing on the heap.
static_assert(std::is_trivially_destructible_v<RankedMutex>);
RankedMutex sharedLinkMutex{LockRank::kSharedLink};
// The link that requests start on, in use or lingering; null when none.
DaemonLink* sharedLinkInstance = nullptr;  // guarded by sharedLinkMutex
// Numbers the uses of links: the end of a use that a newer one has replaced
// changes nothing.
unsigned long currentUse = 0;  // guarded by sharedLinkMutex
bool lingering = false;        // guarded by sharedLinkMutex: no reference holds the instance
// A link whose grace period ran out: its event thread has ended itself and
// only the join and the freeing are left, done by the next request or at unload.
DaemonLink* endedLink = nullptr;  // guarded by sharedLinkMutex
bool processSetUp = false;        // guarded by sharedLinkMutex

// How long an unused link stays. A host that runs one operation after
// another (a browse, then a resolve of what it found, then an address
// lookup) calls again within milliseconds and then reuses the event thread
// and a connection that has its match rules and the daemon's state already;
// each new link costs about a millisecond of set-up, joining one takes a
// wake-up. A second keeps a burst of calls on one link while an idle process
// still soon has no backend thread and no daemon connection.
constexpr int kGraceMs = 1000;

// A lingering link's event thread must not outlive the code it runs.
__attribute__((destructor)) void endIdleLinkAtUnload() { DaemonLink::endIdleLink(); }

}  // namespace

// One stretch of time in which references hold the link; its end starts the
// grace period. Every reference holds it through the link's shared pointer.
struct DaemonLink::Use {
    Use(DaemonLink* owner, unsigned long serial)
        : link(owner), number(serial), generation(processGeneration()) {}
    ~Use() {
        // A forked child's copy of its parent's link is the parent's own.
        if (generation == processGeneration()) {
            DaemonLink::released(link, number);
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    DaemonLink* const link;
    const unsigned long number;
    const unsigned long generation;
};

DaemonLink::DaemonLink(std::unique_ptr<EventLoop> loop)
    : loop_(std::move(loop)),
      pool_(new ConnectionPool(*loop_)),
      // The shared link's mutex ranks above the loop's: the check runs with
      // the loop's lock released.
      graceTimer_([this] {
          if (!loop_->runUnlocked([this] { graceOver(); })) {
              loop_->schedule(graceTimer_, kGraceMs);  // out of memory: try again later
          }
      }) {}

DaemonLink::~DaemonLink() {
    // No reference holds the link and it is no longer shared, so nothing
    // else uses the connections.
    loop_->stop();
    dns_.reset();
    pool_.reset();
}

std::shared_ptr<DaemonLink> DaemonLink::shared(DNSServiceErrorType& error) {
    std::lock_guard<RankedMutex> lock(sharedLinkMutex);
    if (!processSetUp) {
        // libdbus stays loaded once used: it keeps process-wide state that
        // would otherwise be built again, and lost, at every load of the
        // plug-in, and it cannot be torn down while the host might use it too.
        (void)::dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        if (::pthread_atfork(&DaemonLink::beforeFork, &DaemonLink::afterForkInParent,
                             &DaemonLink::afterForkInChild) != 0) {
            error = kDNSServiceErr_NoMemory;
            return nullptr;
        }
        processSetUp = true;
    }
    if (sharedLinkInstance != nullptr) {
        if (std::shared_ptr<DaemonLink> holder = sharedLinkInstance->holders_.lock()) {
            return holder;
        }
        // Lingering, or its last holder is just letting go: a new use keeps it.
        return beginUse(*sharedLinkInstance);
    }
    // Its thread has ended already, so this only joins it.
    delete std::exchange(endedLink, nullptr);
    std::unique_ptr<EventLoop> loop = EventLoop::start();
    if (!loop) {
        error = kDNSServiceErr_NoMemory;
        return nullptr;
    }
    std::unique_ptr<DaemonLink> created(new DaemonLink(std::move(loop)));
    std::shared_ptr<DaemonLink> holder = beginUse(*created);
    sharedLinkInstance = created.release();
    return holder;
}

std::shared_ptr<DaemonLink> DaemonLink::beginUse(DaemonLink& link) {
    auto use = std::make_shared<Use>(&link, currentUse + 1);
    ++currentUse;
    lingering = false;
    {
        std::lock_guard<RankedMutex> loopLock(link.loop_->mutex());
        link.loop_->cancel(link.graceTimer_);
    }
    std::shared_ptr<DaemonLink> holder(use, &link);
    link.holders_ = holder;
    return holder;
}

void DaemonLink::released(DaemonLink* link, unsigned long use) {
    std::unique_lock<RankedMutex> lock(sharedLinkMutex);
    if (use != currentUse) {
        return;  // a newer use holds the link
    }
    {
        // A link without a working connection or a DNS client has nothing
        // worth keeping.
        std::lock_guard<RankedMutex> loopLock(link->loop_->mutex());
        if ((link->pool_->servesNow() || link->dns_) && link->loop_->schedule(link->graceTimer_, kGraceMs)) {
            lingering = true;
            return;
        }
    }
    sharedLinkInstance = nullptr;
    lock.unlock();
    delete link;
}

void DaemonLink::graceOver() {
    std::lock_guard<RankedMutex> lock(sharedLinkMutex);
    if (sharedLinkInstance != this || !lingering) {
        return;  // taken over meanwhile, or already ended
    }
    sharedLinkInstance = nullptr;
    lingering = false;
    endedLink = this;
    // The thread ends with no daemon connection left; whoever frees the link
    // joins it first.
    std::lock_guard<RankedMutex> loopLock(loop_->mutex());
    pool_->closeAll();
    dns_.reset();
    loop_->endFromWithin();
}

void DaemonLink::endIdleLink() {
    DaemonLink* idle = nullptr;
    DaemonLink* ended = nullptr;
    {
        std::lock_guard<RankedMutex> lock(sharedLinkMutex);
        if (lingering) {
            idle = std::exchange(sharedLinkInstance, nullptr);
            lingering = false;
        }
        ended = std::exchange(endedLink, nullptr);
    }
    delete idle;
    delete ended;
}

// fork() takes every lock of the backend first, so that no thread is inside
// libdbus or the backend's state while the process is copied, and the child
// finds all of it consistent. The child then forgets its parent's link: the
// connections and the event thread are the parent's, and its own requests
// make a link of their own.
void DaemonLink::beforeFork() {
    sharedLinkMutex.lock();
    if (sharedLinkInstance != nullptr) {
        sharedLinkInstance->loop_->mutex().lock();
    }
    lockLiveReferences();
    LocalServiceNames::lockAll();
}

void DaemonLink::afterForkInParent() {
    LocalServiceNames::unlockAll();
    unlockLiveReferences();
    if (sharedLinkInstance != nullptr) {
        sharedLinkInstance->loop_->mutex().unlock();
    }
    sharedLinkMutex.unlock();
}

void DaemonLink::afterForkInChild() {
    afterForkInParent();
    processGenerationCounter.fetch_add(1, std::memory_order_relaxed);
    // Left to the parent, never freed here.
    sharedLinkInstance = nullptr;
    endedLink = nullptr;
    lingering = false;
    ++currentUse;
}

}  // namespace Zelm::DnsSd

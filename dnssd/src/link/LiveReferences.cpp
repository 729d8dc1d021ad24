#include "link/LiveReferences.h"

#include "api/Reference.h"

#include "RankedMutex.h"

#include <mutex>
#include <unordered_set>

namespace Zelm::DnsSd {

namespace {

// Constant-initialised and never destroyed, so references that outlive
// static destruction at exit still find them. The set exists only while a
// reference is live: an unloaded library leaves nothing on the heap.
RankedMutex liveMutex{LockRank::kLiveReferences};
std::unordered_set<Reference*>* live = nullptr;  // guarded by liveMutex

}  // namespace

void addLiveReference(Reference* reference) {
    std::lock_guard<RankedMutex> lock(liveMutex);
    if (live == nullptr) {
        live = new std::unordered_set<Reference*>;
    }
    live->insert(reference);
}

bool removeLiveReference(DNSServiceRef reference) {
    std::lock_guard<RankedMutex> lock(liveMutex);
    if (live == nullptr || live->erase(reference) == 0) {
        return false;
    }
    if (live->empty()) {
        delete live;
        live = nullptr;
    }
    return true;
}

Reference* retainLiveReference(DNSServiceRef reference) {
    std::lock_guard<RankedMutex> lock(liveMutex);
    if (live == nullptr) {
        return nullptr;
    }
    const auto found = live->find(reference);
    if (found == live->end()) {
        return nullptr;
    }
    (*found)->retain();
    return *found;
}

void lockLiveReferences() { liveMutex.lock(); }

void unlockLiveReferences() { liveMutex.unlock(); }

}  // namespace Zelm::DnsSd

#include "LiveReferences.h"

#include "Reference.h"

#include <mutex>
#include <unordered_set>

namespace Zelm::DnsSd {

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_set<Reference*> live;
};

// Never destroyed: references may outlive static destruction at exit.
Registry& registry() {
    static auto* instance = new Registry;
    return *instance;
}

}  // namespace

void addLiveReference(Reference* reference) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live.insert(reference);
}

bool removeLiveReference(DNSServiceRef reference) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.live.erase(reference) == 1;
}

Reference* retainLiveReference(DNSServiceRef reference) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto found = r.live.find(reference);
    if (found == r.live.end()) {
        return nullptr;
    }
    (*found)->retain();
    return *found;
}

}  // namespace Zelm::DnsSd

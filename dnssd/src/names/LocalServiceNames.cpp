#include "names/LocalServiceNames.h"

#include "names/NameRules.h"

#include "RankedMutex.h"

#include <mutex>
#include <set>

namespace Zelm::DnsSd {

namespace {

// Constant-initialised and never destroyed, so registrations that outlive
// static destruction at exit still find them. The set exists only while a
// name is claimed: an unloaded library leaves nothing on the heap.
RankedMutex claimsMutex{LockRank::kServiceNames};
std::set<std::string>* claimed = nullptr;  // guarded by claimsMutex

std::string key(const std::string& name, const std::string& type, const std::string& domain) {
    // Newlines cannot occur in the daemon's type and domain names, so they
    // separate the parts unambiguously.
    return asciiLower(type) + '\n' + asciiLower(domain.empty() ? "local" : domain) + '\n' + asciiLower(name);
}

}  // namespace

bool LocalServiceNames::claim(const std::string& name, const std::string& type, const std::string& domain) {
    std::string claim = key(name, type, domain);
    std::lock_guard<RankedMutex> lock(claimsMutex);
    if (claimed == nullptr) {
        claimed = new std::set<std::string>;
    }
    return claimed->insert(std::move(claim)).second;
}

void LocalServiceNames::release(const std::string& name, const std::string& type, const std::string& domain) {
    const std::string claim = key(name, type, domain);
    std::lock_guard<RankedMutex> lock(claimsMutex);
    if (claimed != nullptr && claimed->erase(claim) == 1 && claimed->empty()) {
        delete claimed;
        claimed = nullptr;
    }
}

void LocalServiceNames::lockAll() { claimsMutex.lock(); }

void LocalServiceNames::unlockAll() { claimsMutex.unlock(); }

}  // namespace Zelm::DnsSd

#pragma once

#include "daemon/Protocol.h"

#include <map>

namespace Zelm::DnsSd {

// The daemon reports an item (an instance, a service type, an address) once
// per IP protocol it was seen over; a caller wants it once. Sightings counts
// the protocols per item: the first one makes the item new, the removal of
// the last one makes it gone.
template <typename Key>
class Sightings {
public:
    // True when `key` was not seen before.
    bool add(const Key& key, Daemon::Protocol protocol) {
        unsigned& seen = protocols_[key];
        const bool first = seen == 0;
        seen |= bit(protocol);
        return first;
    }

    // True when this was the last protocol `key` was seen over.
    bool remove(const Key& key, Daemon::Protocol protocol) {
        const auto found = protocols_.find(key);
        if (found == protocols_.end()) {
            return false;
        }
        found->second &= ~bit(protocol);
        if (found->second != 0) {
            return false;
        }
        protocols_.erase(found);
        return true;
    }

private:
    static unsigned bit(Daemon::Protocol protocol) { return 1u << (protocol < 0 ? 2 : (protocol & 1)); }

    std::map<Key, unsigned> protocols_;
};

}  // namespace Zelm::DnsSd

#pragma once

// After a conflict the daemon may advertise a service under another name than
// the one asked for, and the registration interface does not report it. The
// tool finds it the way any other host would see it: it browses the type and
// resolves the instances whose name begins with the requested one, looking for
// the one with our port and TXT record.

#include "Plugin.h"
#include "Queries.h"

#include <optional>
#include <string>
#include <vector>

namespace Zelm::Tool {

struct RegisteredService {
    std::string requestedName;  // empty: the daemon picks one
    std::string type;
    std::string domain;  // empty: the daemon's default
    unsigned short port = 0;
    std::string txt;  // wire form as registered
};

// Instances that may be ours, the exact name first, then those whose name
// begins with the requested one (renamed after a conflict), in arrival order.
std::vector<Instance> candidateInstances(const std::string& requestedName,
                                         const std::vector<Instance>& found);

// True when two TXT records carry the same non-empty strings. Neither the
// order nor zero-length padding strings count: a daemon may hand back the
// strings of a record in another order than they were registered in.
bool sameTxtEntries(const std::string& a, const std::string& b);

// The name under which the service shows up, or nothing when it cannot be
// told within `browseMs`.
std::optional<std::string> findRegisteredName(const Plugin& plugin, const RegisteredService& service,
                                              unsigned int browseMs);

}  // namespace Zelm::Tool

#pragma once

#include "daemon/Channel.h"

#include <utility>
#include <vector>

namespace Zelm::DnsSd {

// The calls of one owner that are waiting for their answers. Each answer
// runs its handler on the event thread with the loop's lock held; an owner
// that goes away drops its calls first, and their handlers never run.
class PendingCalls {
public:
    PendingCalls() = default;
    ~PendingCalls() { dropAll(); }
    PendingCalls(const PendingCalls&) = delete;
    PendingCalls& operator=(const PendingCalls&) = delete;

    // Sends `request` on `channel`; false when it could not be sent (the
    // handler then never runs).
    bool send(Channel& channel, const Daemon::Request& request, Channel::Handler handler,
              int timeoutMs = Daemon::kCallTimeoutMs);

    void dropAll();
    bool empty() const { return calls_.empty(); }

private:
    std::vector<std::pair<Channel*, Channel::CallId>> calls_;
};

}  // namespace Zelm::DnsSd

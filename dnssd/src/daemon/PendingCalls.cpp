#include "daemon/PendingCalls.h"

#include <algorithm>
#include <memory>

namespace Zelm::DnsSd {

bool PendingCalls::send(Channel& channel, const Daemon::Request& request, Channel::Handler handler,
                        int timeoutMs) {
    // The id is known only once the call is out; the answer comes later, on
    // the event thread, after this has returned.
    std::shared_ptr<Channel::CallId> id;
    try {
        calls_.reserve(calls_.size() + 1);
        id = std::make_shared<Channel::CallId>(0);
    } catch (...) {
        return false;
    }
    Channel::CallId sent = 0;
    try {
        sent = channel.call(
            request,
            [this, id, handler = std::move(handler)](const Daemon::Reply& reply) {
                calls_.erase(std::remove_if(calls_.begin(), calls_.end(),
                                            [&](const auto& call) { return call.second == *id; }),
                             calls_.end());
                handler(reply);
            },
            timeoutMs);
    } catch (...) {
        return false;
    }
    if (sent == 0) {
        return false;
    }
    *id = sent;
    calls_.emplace_back(&channel, sent);
    return true;
}

void PendingCalls::dropAll() {
    for (const auto& [channel, id] : std::exchange(calls_, {})) {
        channel->cancel(id);
    }
}

}  // namespace Zelm::DnsSd

#pragma once

#include "daemon/Channel.h"
#include "daemon/PendingCalls.h"

#include <dns_sd.h>

#include <functional>
#include <string>

namespace Zelm::DnsSd {

// One object the daemon made for an operation: created by a "...Prepare"
// (or "...New") request, its signals routed to the operation, freed with it.
class DaemonObject {
public:
    using Outcome = std::function<void(DNSServiceErrorType)>;

    DaemonObject(const char* interface, SignalTarget& target) : interface_(interface), target_(target) {}
    DaemonObject(const DaemonObject&) = delete;
    DaemonObject& operator=(const DaemonObject&) = delete;

    // Sends `creation`, whose reply names the object; then its signals are
    // routed and, with `startIt`, it is started. `created` gets the outcome;
    // `startFailed` a failure of the start, which comes later.
    void create(Channel& channel, const Daemon::Request& creation, PendingCalls& calls, bool startIt,
                Outcome created, Outcome startFailed = {});

    // A request to the object (null interface: the object's own); false when
    // it could not be sent or the object does not exist (yet).
    template <typename In, typename Out, typename... Args>
    bool call(const Daemon::Method<In, Out>& method, PendingCalls& calls, Channel::Handler handler,
              Args&&... arguments) {
        if (channel_ == nullptr) {
            return false;
        }
        return calls.send(*channel_,
                          Daemon::requestTo(method, path_, interface_, std::forward<Args>(arguments)...),
                          std::move(handler));
    }
    bool exists() const { return channel_ != nullptr; }

    // Frees the object at the daemon; no answer is waited for.
    void free();
    // The daemon is gone, and the object with it.
    void forget();

private:
    // The answer to the creation: takes the object, or says why not.
    DNSServiceErrorType onCreated(Channel& channel, const Daemon::Reply& reply, PendingCalls& calls,
                                  bool startIt, const Outcome& startFailed);
    // Takes the object the daemon made: its path, its signals, its start.
    bool adopt(Channel& channel, const std::string& path, PendingCalls& calls, bool startIt,
               const Outcome& startFailed);

    const char* const interface_;
    SignalTarget& target_;
    Channel* channel_ = nullptr;
    std::string path_;
};

}  // namespace Zelm::DnsSd

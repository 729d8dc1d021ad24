#pragma once

#include "daemon/DaemonProtocol.h"

#include <dbus/dbus.h>

#include <functional>
#include <vector>

namespace Zelm::DnsSd {

class BusConnection;

// The calls of one owner that are waiting for their answers. Each answer
// runs its handler on the event thread with the loop's lock held; an owner
// that goes away drops its calls first, and their handlers never run.
class PendingCalls {
public:
    using Handler = std::function<void(DBusMessage* reply)>;

    PendingCalls() = default;
    ~PendingCalls() { dropAll(); }
    PendingCalls(const PendingCalls&) = delete;
    PendingCalls& operator=(const PendingCalls&) = delete;

    // Sends `call` on `bus`; the handler gets the reply or an error message
    // (the daemon's, or the bus's when no answer came in `timeoutMs`). False
    // when it could not be sent (memory, the connection is closed, or it has
    // as many calls waiting as the bus allows): the handler then never runs.
    bool send(BusConnection& bus, DBusMessage* call, Handler handler, int timeoutMs = Daemon::kCallTimeoutMs);

    void dropAll();
    bool empty() const { return calls_.empty(); }

private:
    struct InFlight;
    static void onReply(DBusPendingCall* call, void* data);
    static void freeInFlight(void* data);

    std::vector<InFlight*> calls_;
};

}  // namespace Zelm::DnsSd

#pragma once

// The daemon side of one DNS-SD reference: the daemon objects that carry a
// browse, resolve, address lookup or registration, and the translation of
// their signals into DNS-SD replies. Operations speak to the daemon only
// through a Channel, in the daemon's declared messages.

#include "daemon/Channel.h"
#include "daemon/Protocol.h"
#include "operations/ReplySink.h"
#include "operations/Settle.h"

#include <dns_sd.h>

namespace Zelm::DnsSd {

// What an operation starts on: its way to the daemon, and where its replies go.
struct DaemonContext {
    Channel* channel;
    ReplySink* sink;
};

class RegisterOperation;
class UnicastOperation;

// Every member except the constructor and destructor runs with the event
// loop's lock held (on the event thread, or on a caller's thread that took
// it). The destructor touches neither the daemon nor D-Bus: a forked child
// may drop an operation of its parent.
class Operation {
public:
    virtual ~Operation() = default;

    // Daemon objects that start() creates, counted against the daemon's
    // per-client limit.
    virtual int daemonObjects() const { return 1; }

    // The calls that start() sends before its first answer comes back, not
    // counting those it sends only with room to spare.
    virtual int callsAtStart() const { return 1; }

    // Sends the requests that create the daemon objects. `settle` runs once
    // the daemon has answered them (possibly at once, when they cannot be
    // sent); on failure nothing is left behind.
    virtual void start(const DaemonContext& context, Settle settle) = 0;

    // Frees the daemon objects without waiting for the daemon; no reply is
    // posted afterwards.
    virtual void stop() = 0;

    // The daemon went away while the operation was starting: its requests
    // and objects are dropped without a reply, and start() may run again.
    virtual void forgetDaemon() = 0;

    // The daemon's state changed (it settles a host name, or runs again).
    virtual void serverStateChanged(Daemon::ServerState) {}

    // The daemon is gone. False: the operation has posted its error reply,
    // if it has one, and ends with it. True: it has forgotten its daemon
    // objects and waits for resume() once a daemon runs again.
    virtual bool daemonLost() { return false; }

    // Starts again on a connection whose daemon runs, after daemonLost()
    // kept it. Failures are posted as replies.
    virtual void resume(const DaemonContext&) {}

    virtual RegisterOperation* asRegistration() { return nullptr; }

    // An operation in a unicast domain, which runs without the daemon.
    virtual UnicastOperation* asUnicast() { return nullptr; }
};

}  // namespace Zelm::DnsSd

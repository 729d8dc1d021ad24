#pragma once

// One private D-Bus connection to the system bus, on which the backend talks
// to the daemon: it follows the daemon's presence and state, routes the
// signals of the daemon's objects to their operations, and counts the
// objects its references hold against the daemon's per-client limit.

#include "bus/EventLoop.h"
#include "bus/PendingCalls.h"
#include "daemon/DaemonCalls.h"
#include "daemon/DaemonProtocol.h"

#include <dns_sd.h>

#include <dbus/dbus.h>

#include <climits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Zelm::DnsSd {

class Reference;
class Waiter;

// Receives the signals of one daemon object. Event thread, loop lock held.
class SignalTarget {
public:
    virtual void onSignal(DBusMessage* signal) = 0;

protected:
    ~SignalTarget() = default;
};

class BusConnection {
public:
    // What happens to the daemon as this connection sees it. Event thread,
    // loop lock held.
    class Listener {
    public:
        virtual void serverStateChanged(BusConnection& connection) = 0;
        virtual void daemonLeft(BusConnection& connection) = 0;
        virtual void busLost(BusConnection& connection) = 0;
        // Calls on the connection ended: there may be room for more.
        virtual void callsEnded(BusConnection& connection) = 0;

    protected:
        ~Listener() = default;
    };

    // Connects to the system bus and registers on it: a blocking round trip,
    // made without the loop's lock. Null with `error` set when there is no
    // bus (kDNSServiceErr_ServiceNotRunning) or no memory.
    static std::unique_ptr<BusConnection> open(EventLoop& loop, Listener& listener,
                                               DNSServiceErrorType& error);

    // Loop lock held from here on.
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    // Puts the connection on the event loop and asks for the daemon's state;
    // `known` (may be null) settles when the answer is in. False when memory
    // ran out.
    bool start(Waiter* known);

    DBusConnection* raw() const { return connection_; }

    // The daemon is on the bus and takes requests.
    bool serves() const;
    // The daemon's first answer (or its absence) is known.
    bool stateKnown() const { return stateKnown_; }
    // `known` settles once it is; false when memory ran out.
    bool awaitState(Waiter& known);
    Daemon::ServerState serverState() const { return state_; }
    const std::string& hostName() const { return hostName_; }
    const std::string& domainName() const { return domainName_; }

    // Sends a message that needs no answer; false when it could not be sent.
    bool send(DBusMessage* message);

    // The bus lets a client wait for the answers of a limited number of
    // calls at once (128 by default) and refuses more: the backend keeps
    // below that. PendingCalls counts its calls here.
    bool roomForCalls(int calls) const { return callsInFlight_ + calls <= kMaxCallsInFlight; }
    void callSent() { ++callsInFlight_; }
    void callEnded();

    bool route(const std::string& path, SignalTarget& target);
    void unroute(const std::string& path);

    // The pool's bookkeeping.
    int objects = 0;         // daemon objects of its references, started or starting
    int accepted = 0;        // of those, the ones the daemon has made
    int capacity = INT_MAX;  // learnt from the daemon's "too many objects"
    bool failed = false;     // the bus is gone; closed once unused
    std::set<Reference*> members;

private:
    static constexpr int kMaxCallsInFlight = 112;

    BusConnection(EventLoop& loop, Listener& listener, DBusConnection* connection)
        : loop_(loop), listener_(listener), connection_(connection), askAgain_([this] { askDaemon(); }) {}

    static DBusHandlerResult filter(DBusConnection* connection, DBusMessage* message, void* self);
    void handle(DBusMessage* message);
    void askDaemon();
    // Memory ran out before the daemon's state was known: ask again soon.
    void askLater();
    void settleWaiters(DNSServiceErrorType code);
    void setState(Daemon::ServerState state);

    EventLoop& loop_;
    Listener& listener_;
    DBusConnection* const connection_;
    bool watched_ = false;
    bool filtered_ = false;
    int callsInFlight_ = 0;
    bool stateKnown_ = false;
    Daemon::ServerState state_ = Daemon::ServerState::Invalid;
    std::string hostName_;
    std::string domainName_ = "local";
    std::map<std::string, SignalTarget*> routes_;
    std::vector<Waiter*> stateWaiters_;
    PendingCalls calls_;
    EventLoop::Timer askAgain_;
};

}  // namespace Zelm::DnsSd

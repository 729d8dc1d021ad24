#pragma once

// One private D-Bus connection to the system bus, on which the backend talks
// to the daemon. The system bus is shared with every local user, so the
// connection believes a message only from whom it must come from: a signal
// of the daemon only from the unique name that owns the daemon's name now
// (learnt from the bus driver), the bus driver's notices only from the bus
// driver, and a reply only as the answer to one of its own requests, from
// the peer that request went to. Everything else is dropped and counted
// (DroppedMessages.h). It follows the daemon's presence and state, routes
// the signals of the daemon's objects to their operations, and counts the
// objects its references hold against the daemon's per-client limit.

#include "bus/EventLoop.h"
#include "daemon/Channel.h"
#include "daemon/Protocol.h"

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

class BusConnection final : public Channel, private EventLoop::Receiver {
public:
    using Clock = std::chrono::steady_clock;

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

    // Connects to the system bus; registering on it and learning the
    // daemon's state happen on the event loop (start()), so nothing here
    // waits for the bus. Null with `error` set when there is no bus
    // (kDNSServiceErr_ServiceNotRunning) or no memory. Loop lock held.
    static std::unique_ptr<BusConnection> open(EventLoop& loop, Listener& listener,
                                               DNSServiceErrorType& error);

    // Loop lock held from here on.
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    // Puts the connection on the event loop, registers on the bus and asks
    // who owns the daemon's name and its state; `known` (may be null)
    // settles when the answer is in. False when memory ran out.
    bool start(Waiter* known);

    // The daemon is on the bus and takes requests.
    bool serves() const;
    // The daemon's first answer (or its absence) is known.
    bool stateKnown() const { return stateKnown_; }
    // `known` settles once it is; false when memory ran out.
    bool awaitState(Waiter& known);
    // A waiter that gave up before it did.
    void stopAwaiting(Waiter& known);
    Daemon::ServerState serverState() const { return state_; }
    // When a message last came in: a wait for an answer on this connection
    // ends when it has been silent for too long (Waiter).
    Clock::time_point lastHeard() const { return lastHeard_; }
    // Nothing has come in that the event thread has yet to look at: silence
    // since lastHeard() is the peer's, not a busy event thread's.
    bool quiet() const;

    // The bus lets a client wait for the answers of a limited number of
    // calls at once (128 by default) and refuses more: the backend keeps
    // below that. A call given up on counts until its answer comes or its
    // time is up, since the bus counts it until then too.
    bool roomForCalls(int calls) const {
        return static_cast<int>(awaited_.size()) + calls <= kMaxCallsInFlight;
    }

    // Channel
    CallId call(const Daemon::Request& request, Handler handler, int timeoutMs) override;
    void cancel(CallId id) override;
    bool roomToSpare() const override { return roomForCalls(kMaxCallsInFlight / 2); }
    bool send(const Daemon::Request& request) override;
    bool route(const std::string& path, SignalTarget& target) override;
    void unroute(const std::string& path) override;
    const std::string& hostName() const override { return hostName_; }
    const std::string& domainName() const override { return domainName_; }
    bool schedule(Timer& timer, int delayMs) override { return loop_.schedule(timer, delayMs); }
    void cancel(Timer& timer) override { loop_.cancel(timer); }

    // The pool's bookkeeping.
    int objects = 0;         // daemon objects of its references, started or starting
    int accepted = 0;        // of those, the ones the daemon has made
    int capacity = INT_MAX;  // learnt from the daemon's "too many objects"
    bool failed = false;     // the bus is gone; closed once unused
    std::set<Reference*> members;

private:
    static constexpr int kMaxCallsInFlight = 112;

    struct Awaited {
        Handler handler;    // empty once given up on
        Daemon::Peer peer;  // whom the answer must come from
        Clock::time_point due;
    };

    BusConnection(EventLoop& loop, Listener& listener, DBusConnection* connection);

    void receive(DBusMessage* message) override;
    void handle(DBusMessage* message);
    void handleReply(DBusMessage* message, const char* sender);
    void handleSignal(DBusMessage* message, const char* sender);
    bool believed(const char* sender, Daemon::Peer peer) const;
    // Sends `request` on behalf of the connection itself.
    bool ask(const Daemon::Request& request, Handler handler) {
        return call(request, std::move(handler), Daemon::kCallTimeoutMs) != 0;
    }
    void askOwner();
    void askDaemon();
    // Asks for one of the daemon's names and keeps the answer in `name`; false
    // when the request could not be sent.
    bool askName(const Daemon::Method<std::tuple<>, std::tuple<std::string>>& method, std::string& name);
    void ownerChanged(const std::string& owner);
    // Memory ran out before the daemon's state was known: ask again soon.
    void askLater();
    void settleWaiters(DNSServiceErrorType code);
    void setState(Daemon::ServerState state);
    void finish(dbus_uint32_t serial, const Daemon::Reply& reply);
    void expireCalls();
    void lost();

    EventLoop& loop_;
    Listener& listener_;
    DBusConnection* const connection_;
    bool watched_ = false;
    bool stateKnown_ = false;
    Daemon::ServerState state_ = Daemon::ServerState::Invalid;
    std::string owner_;  // the unique name owning the daemon's name; empty: none
    std::string hostName_;
    std::string domainName_ = "local";
    Clock::time_point lastHeard_;
    std::map<dbus_uint32_t, Awaited> awaited_;
    std::map<std::string, SignalTarget*> routes_;
    std::vector<Waiter*> stateWaiters_;
    Timer askAgain_;
    Timer callsDue_;
};

}  // namespace Zelm::DnsSd

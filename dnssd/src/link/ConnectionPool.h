#pragma once

// The D-Bus connections of one daemon link. References share them, since
// the daemon limits the objects of one client; a full connection gets a
// sibling. When the daemon goes away, the operations on it end with an error
// reply, except registrations the daemon had confirmed: those wait, and are
// published again once a connection sees a daemon run. A connection whose
// bus went away is closed; while registrations wait, a new one is tried with
// a growing delay of at most a second, and it then waits for the daemon.

#include "bus/BusConnection.h"
#include "bus/EventLoop.h"
#include "bus/Waiter.h"

#include <dns_sd.h>

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <set>

namespace Zelm::DnsSd {

class Reference;

class ConnectionPool final : private BusConnection::Listener {
public:
    explicit ConnectionPool(EventLoop& loop);
    // With the event thread stopped: closes every connection.
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // The members below are called with the loop's lock held.

    // A connection whose daemon takes requests, with room for `objects` more
    // daemon objects. May open one and wait, releasing `loopLock`, for the
    // bus's and the daemon's first answers, as long as `patience` allows.
    // Null with `error` set when no daemon can be reached or it does not
    // answer (kDNSServiceErr_ServiceNotRunning), or on a shortage of
    // resources (kDNSServiceErr_NoMemory).
    BusConnection* connectionWithRoom(int objects, LoopLock& loopLock, const Patience& patience,
                                      DNSServiceErrorType& error);

    // Waits, releasing `loopLock`, until `calls` more calls fit on
    // `connection`; false when the connection went away or went silent meanwhile.
    bool waitForCallRoom(BusConnection* connection, int calls, LoopLock& loopLock, const Patience& patience);

    // The daemon said the connection holds all the objects it allows: as
    // many as it has made, while others may still be on their way.
    void full(BusConnection* connection) {
        if (holds(connection)) {
            connection->capacity = connection->accepted;
        }
    }

    // The reference's operation runs on `connection`, or starts there while
    // the reference has a start waiter.
    void join(BusConnection& connection, Reference& reference);
    // Its start on `connection` was accepted.
    void accepted(BusConnection& connection, Reference& reference);
    // The reference's operation no longer runs here, nor waits for a daemon.
    void leave(Reference& reference);

    bool servesNow() const;
    bool holds(const BusConnection* connection) const;
    // Closes every connection; the link's last act before its thread ends.
    void closeAll();

private:
    void serverStateChanged(BusConnection& connection) override;
    void daemonLeft(BusConnection& connection) override;
    void busLost(BusConnection& connection) override;
    void callsEnded(BusConnection& connection) override;

    void endMembers(BusConnection& connection);
    // The operation's daemonLost(): true when it waits for the daemon.
    static bool keepsWaiting(Reference& member);
    void resumeWaiting(BusConnection& connection);
    BusConnection* adopt(std::unique_ptr<BusConnection> connection, Waiter* known);
    void reconnect();
    void dropFailedIdleConnections();

    EventLoop& loop_;
    std::list<std::unique_ptr<BusConnection>> connections_;
    std::set<Reference*> waiting_;  // registrations kept while no daemon serves them
    std::condition_variable_any callRoom_;
    int waitingForCallRoom_ = 0;
    Timer reconnectTimer_;
    Timer dropTimer_;
    int reconnectDelayMs_ = 0;
};

}  // namespace Zelm::DnsSd

#pragma once

// The process's way to the Avahi daemon: one event thread and the D-Bus
// connections (Avahi clients) that the references share. It exists while at
// least one reference holds it, so that an idle process has no backend
// thread. A connection that the daemon declares full gets a sibling.
//
// When a connection is lost (the daemon or the bus went away) its
// references end with an error reply, except registrations the daemon had
// confirmed: those wait, and are published again as soon as a new
// connection finds the daemon running. The new connection is opened at once
// and then waits for the daemon to appear on the bus; while there is no bus
// to connect to, it is tried again with a growing delay of at most a second.

#include "EventLoop.h"

#include <dns_sd.h>

#include <avahi-client/client.h>

#include <climits>
#include <list>
#include <memory>
#include <set>

namespace Zelm::DnsSd {

class DaemonLink;
class Reference;

// One Avahi client. Touched only with the event loop's lock held.
struct DaemonConnection {
    DaemonLink* link = nullptr;
    AvahiClient* client = nullptr;  // set once avahi_client_new has returned
    int objects = 0;                // daemon objects its references hold
    int capacity = INT_MAX;         // learnt from the daemon's "too many objects"
    bool failed = false;            // lost; freed once no reference uses it
    std::set<Reference*> members;
};

class DaemonLink : public std::enable_shared_from_this<DaemonLink> {
public:
    // The shared link, made (and its event thread started) when none exists.
    // Null with `error` set when the thread cannot start.
    static std::shared_ptr<DaemonLink> shared(DNSServiceErrorType& error);

    ~DaemonLink();
    DaemonLink(const DaemonLink&) = delete;
    DaemonLink& operator=(const DaemonLink&) = delete;

    // Starts the reference's operation on a connection with room for it.
    // kDNSServiceErr_ServiceNotRunning when no daemon can be reached.
    DNSServiceErrorType attach(Reference& reference);

    // Stops the operation; after this no reply reaches the reference.
    void detach(Reference& reference);

    // Holds the event loop's lock for calls into a running operation.
    class Lock {
    public:
        explicit Lock(DaemonLink& link) : loop_(*link.loop_) { loop_.lock(); }
        ~Lock() { loop_.unlock(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        EventLoop& loop_;
    };

private:
    explicit DaemonLink(std::unique_ptr<EventLoop> loop);

    static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata);
    static void onReconnectDue(AvahiTimeout* timeout, void* userdata);

    // A new client, whether or not the daemon is on the bus yet; null when
    // there is no bus.
    DaemonConnection* openConnection(int& avahiError);
    DaemonConnection* connectionWithRoom(int objects, int& avahiError);
    void connectionLost(DaemonConnection& connection);
    void resumeWaiting(DaemonConnection& connection);
    void reconnect();
    void scheduleReconnect(int delayMs);
    void dropFailedIdleConnections();

    std::unique_ptr<EventLoop> loop_;
    std::list<std::unique_ptr<DaemonConnection>> connections_;
    std::set<Reference*> waiting_;  // registrations kept while no daemon serves them
    AvahiTimeout* reconnectTimer_ = nullptr;
    int reconnectDelayMs_ = 0;
};

}  // namespace Zelm::DnsSd

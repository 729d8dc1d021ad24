#pragma once

// The process's way to the Avahi daemon: one event thread and the D-Bus
// connections (Avahi clients) that the references share. It exists while at
// least one reference holds it and for a short grace period after the last
// one let go, so that a host calling in quick succession reuses the thread
// and a connection that is already set up; after that an idle process has
// no backend thread. A connection that the daemon declares full gets a
// sibling.
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
#include <utility>
#include <vector>

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

class DaemonLink {
public:
    // The shared link: the one in use or lingering, else a new one with its
    // event thread started. Null with `error` set when the thread cannot start.
    static std::shared_ptr<DaemonLink> shared(DNSServiceErrorType& error);

    // Ends a link that no reference holds (lingering, or ended but not yet
    // joined), before the library's code goes away: at unload or exit.
    static void endIdleLink();

    ~DaemonLink();
    DaemonLink(const DaemonLink&) = delete;
    DaemonLink& operator=(const DaemonLink&) = delete;

    // Starts the reference's operation on a connection with room for it.
    // kDNSServiceErr_ServiceNotRunning when no daemon can be reached.
    DNSServiceErrorType attach(Reference& reference);

    // Stops the operation; after this no reply reaches the reference. The
    // daemon objects of a browse, resolve or address lookup are freed a
    // moment later on the event thread, so that the caller does not wait for
    // the daemon's answer: the link then keeps the reference (a retain) and
    // takes its hold on the link away (`reference.link`), so the caller must
    // hold the link itself across this call.
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
    struct Use;
    explicit DaemonLink(std::unique_ptr<EventLoop> loop);

    // A new use of `link`, which becomes (or stays) the shared one; cancels
    // its grace period. With sharedLinkMutex held.
    static std::shared_ptr<DaemonLink> beginUse(DaemonLink& link);
    // The last holder of one use of the link let go: the link lingers when it
    // has a working connection, else it ends.
    static void released(DaemonLink* link, unsigned long use);
    static void onGraceOver(AvahiTimeout* timeout, void* userdata);
    static void onFreeDue(AvahiTimeout* timeout, void* userdata);
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
    bool servesNow() const;
    bool freeLater(Reference& reference, DaemonConnection& connection);
    void finishFrees();
    void closeConnections();

    std::unique_ptr<EventLoop> loop_;
    std::list<std::unique_ptr<DaemonConnection>> connections_;
    std::set<Reference*> waiting_;  // registrations kept while no daemon serves them
    AvahiTimeout* reconnectTimer_ = nullptr;
    int reconnectDelayMs_ = 0;
    AvahiTimeout* graceTimer_ = nullptr;
    // Deallocated references whose daemon objects are still to be freed,
    // each retained, with the connection that counts their objects.
    std::vector<std::pair<Reference*, DaemonConnection*>> freeing_;
    AvahiTimeout* freeTimer_ = nullptr;
    std::weak_ptr<DaemonLink> holders_;  // guarded by the shared link's mutex
};

}  // namespace Zelm::DnsSd

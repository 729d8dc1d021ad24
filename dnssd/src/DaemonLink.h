#pragma once

// The process's way to the Avahi daemon: one event thread (Avahi's threaded
// poll) and the D-Bus connections (Avahi clients) that the references share.
// It exists while at least one reference holds it, so that an idle process
// has no backend thread. A connection that the daemon declares full gets a
// sibling; one whose daemon went away fails its references and is replaced
// on the next request.

#include <dns_sd.h>

#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>

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
    AvahiClient* client = nullptr;
    int objects = 0;         // daemon objects its references hold
    int capacity = INT_MAX;  // learnt from the daemon's "too many objects"
    bool failed = false;     // the daemon went away
    std::set<Reference*> members;
};

class DaemonLink {
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
        explicit Lock(DaemonLink& link) : poll_(link.poll_) { avahi_threaded_poll_lock(poll_); }
        ~Lock() { avahi_threaded_poll_unlock(poll_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        AvahiThreadedPoll* poll_;
    };

private:
    explicit DaemonLink(AvahiThreadedPoll* poll);

    static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata);

    DaemonConnection* connectionWithRoom(int objects, int& avahiError);
    void dropFailedIdleConnections();

    AvahiThreadedPoll* poll_;
    std::list<std::unique_ptr<DaemonConnection>> connections_;
};

}  // namespace Zelm::DnsSd

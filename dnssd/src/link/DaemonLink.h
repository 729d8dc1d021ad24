#pragma once

// The process's way to the Avahi daemon: one event thread and the D-Bus
// connections (ConnectionPool) that the references share. It exists while at
// least one reference holds it and for a short grace period after the last
// one let go, so that a host calling in quick succession reuses the thread
// and a connection that is already set up; after that an idle process has
// no backend thread. A child forked from the process makes a link of its own
// and never touches its parent's.
//
// A start sends its requests and waits for the daemon's answer holding no
// lock, so that the round trips of concurrent starts overlap; a
// deallocation sends the daemon its "free" and does not wait at all.
//
// Beside the daemon connections the link holds the unicast DNS client that
// operations in other domains than local. use (made at the first one, on the
// same event thread): such an operation needs no daemon and no D-Bus.

#include "bus/EventLoop.h"
#include "link/ConnectionPool.h"
#include "unicast/AresClient.h"

#include <dns_sd.h>

#include <memory>
#include <string>
#include <vector>

namespace Zelm::DnsSd {

class Reference;

class DaemonLink {
public:
    // The shared link: the one in use or lingering, else a new one with its
    // event thread started. Null with `error` set (kDNSServiceErr_NoMemory)
    // when the thread cannot start.
    static std::shared_ptr<DaemonLink> shared(DNSServiceErrorType& error);

    // Ends a link that no reference holds (lingering, or ended but not yet
    // joined), before the library's code goes away: at unload or exit.
    static void endIdleLink();

    ~DaemonLink();
    DaemonLink(const DaemonLink&) = delete;
    DaemonLink& operator=(const DaemonLink&) = delete;

    // Starts the reference's operation on a connection with room for it and
    // returns once the daemon accepted or refused it.
    // kDNSServiceErr_ServiceNotRunning when no daemon can be reached. A
    // unicast operation starts on the DNS client instead and returns at once;
    // kDNSServiceErr_NoMemory when the client cannot be made.
    DNSServiceErrorType attach(Reference& reference);

    // Stops the operation; after this no reply reaches the reference.
    void detach(Reference& reference);

    // DNSServiceUpdateRecord of a registration: the daemon's answer.
    DNSServiceErrorType updateTxt(Reference& reference, std::vector<std::string> txt);

private:
    struct Use;
    explicit DaemonLink(std::unique_ptr<EventLoop> loop);

    // A new use of `link`, which becomes (or stays) the shared one; cancels
    // its grace period. With the shared link's mutex held.
    static std::shared_ptr<DaemonLink> beginUse(DaemonLink& link);
    // The last holder of one use of the link let go: the link lingers when it
    // has a working connection, else it ends.
    static void released(DaemonLink* link, unsigned long use);
    void graceOver();

    static void beforeFork();
    static void afterForkInParent();
    static void afterForkInChild();

    std::unique_ptr<EventLoop> loop_;
    DNSServiceErrorType attachUnicast(Reference& reference);

    std::unique_ptr<ConnectionPool> pool_;
    std::unique_ptr<Unicast::AresClient> dns_;  // guarded by the loop's mutex; made when first needed
    Timer graceTimer_;
    std::weak_ptr<DaemonLink> holders_;  // guarded by the shared link's mutex
};

}  // namespace Zelm::DnsSd

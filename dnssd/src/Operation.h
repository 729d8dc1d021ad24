#pragma once

// The daemon side of one DNS-SD reference: the Avahi objects that carry a
// browse, resolve, address lookup or registration, and the translation of
// their events into DNS-SD replies.

#include <dns_sd.h>

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/watch.h>

#include <functional>

namespace Zelm::DnsSd {

// Calls the reference's reply function with the reply's data, adding the
// kDNSServiceFlagsMoreComing bit the caller passes.
using Delivery = std::function<void(DNSServiceRef ref, DNSServiceFlags moreComing)>;

// Where an operation queues its replies. Called on the event thread.
class ReplySink {
public:
    virtual void post(Delivery delivery) = 0;

protected:
    ~ReplySink() = default;
};

// What an operation starts on: one daemon connection and the event loop
// that serves it.
struct DaemonContext {
    AvahiClient* client;
    const AvahiPoll* poll;
    ReplySink* sink;
};

class RegisterOperation;

// Runs a daemon callback's body: nothing may throw through the C library that
// calls it. When memory runs out the event is dropped.
template <typename Body>
void withoutThrowing(Body body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

// Every member except the constructor and destructor runs with the event
// loop's lock held (on the event thread, or on a caller's thread that took it).
class Operation {
public:
    virtual ~Operation() = default;

    // Daemon objects that start() creates, counted against the daemon's
    // per-connection limit.
    virtual int daemonObjects() const { return 1; }

    // Creates the daemon objects; an Avahi error code, AVAHI_OK when started.
    // On failure nothing is left behind.
    virtual int start(const DaemonContext& context) = 0;

    // Frees the daemon objects; no reply is posted afterwards.
    virtual void stop() = 0;

    // A change of the daemon's state other than the connection failing.
    virtual void daemonStateChanged(AvahiClientState) {}

    // The daemon connection is gone. False: the operation has posted its
    // error reply, if it has one, and ends with the connection. True: it has
    // dropped its daemon objects and waits for resume() on a new connection.
    virtual bool daemonLost() { return false; }

    // Starts again on a new connection after daemonLost() kept it; an Avahi
    // error code.
    virtual int resume(const DaemonContext&) { return AVAHI_ERR_BAD_STATE; }

    virtual RegisterOperation* asRegistration() { return nullptr; }
};

}  // namespace Zelm::DnsSd

#pragma once

// The daemon side of one DNS-SD reference: the daemon objects that carry a
// browse, resolve, address lookup or registration, and the translation of
// their signals into DNS-SD replies.

#include "bus/BusConnection.h"
#include "daemon/DaemonProtocol.h"
#include "operations/Settle.h"

#include <dns_sd.h>

#include <functional>

namespace Zelm::DnsSd {

// Calls the reference's reply function with the reply's data, adding the
// kDNSServiceFlagsMoreComing bit the caller passes.
using Delivery = std::function<void(DNSServiceRef ref, DNSServiceFlags moreComing)>;

// Where an operation queues its replies. Called on the event thread.
class ReplySink {
public:
    // A reply that `replacesUnread` takes the place of an earlier one of the
    // same kind that nobody has read yet.
    virtual void post(Delivery delivery, bool replacesUnread = false) = 0;
    // A reply could not be made: memory ran out.
    virtual void lose() = 0;

protected:
    ~ReplySink() = default;
};

// What an operation starts on: one daemon connection, and where its replies go.
struct DaemonContext {
    BusConnection* bus;
    ReplySink* sink;
};

class RegisterOperation;

// Runs the handling of a daemon event. Memory that runs out on the way
// loses the reply it would have made; the caller learns so from
// DNSServiceProcessResult instead of waiting for it in vain.
template <typename Body>
void orLose(ReplySink* sink, Body body) noexcept {
    try {
        body();
    } catch (...) {
        if (sink != nullptr) {
            sink->lose();
        }
    }
}

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

    // The calls that start() sends before its first answer comes back.
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
};

// One object the daemon made for an operation: created by a "...Prepare"
// (or "...New") request, its signals routed to the operation, freed with it.
class DaemonObject {
public:
    DaemonObject(const char* interface, SignalTarget& target) : interface_(interface), target_(target) {}
    DaemonObject(const DaemonObject&) = delete;
    DaemonObject& operator=(const DaemonObject&) = delete;

    // Sends `creation`; once the daemon names the object its signals are
    // routed and, with `startIt`, it is started. `created` gets the outcome;
    // `startFailed` a failure of the start, which comes later.
    void create(BusConnection& bus, DBusMessage* creation, PendingCalls& calls, bool startIt,
                Settle::Function created, std::function<void(DNSServiceErrorType)> startFailed = {});

    // Sends a method call without arguments to the object; false when it
    // could not be sent or the object does not exist (yet).
    bool call(const char* method, PendingCalls& calls, PendingCalls::Handler handler);
    // A call with arguments, made by the caller with callTo().
    Message callTo(const char* method) const;
    bool exists() const { return bus_ != nullptr; }

    // Frees the object at the daemon; no answer is waited for.
    void free();
    // The daemon is gone, and the object with it.
    void forget();

private:
    // Takes the object the daemon made: its path, its signals, its start.
    bool adopt(BusConnection& bus, const char* path, PendingCalls& calls, bool startIt,
               const std::function<void(DNSServiceErrorType)>& startFailed);

    const char* const interface_;
    SignalTarget& target_;
    BusConnection* bus_ = nullptr;
    std::string path_;
};

}  // namespace Zelm::DnsSd

#pragma once

// Requests to the daemon over D-Bus, and what its answers carry.

#include "DaemonProtocol.h"

#include <dns_sd.h>

#include <dbus/dbus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Zelm::DnsSd {

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// A method call to one of the daemon's objects that does not start the daemon
// when it is not running; null when memory ran out.
Message daemonCall(const char* path, const char* interface, const char* method);

// Appends basic arguments (dbus_message_append_args' list, ending with
// DBUS_TYPE_INVALID); false when memory ran out.
bool append(DBusMessage* message, int firstType, ...);

// TXT strings as the daemon takes and reports them: an array of byte arrays.
bool appendTxt(DBusMessageIter& iterator, const std::vector<std::string>& strings);
bool readTxt(DBusMessageIter& iterator, std::vector<std::string>& strings);

// kDNSServiceErr_NoError for a method return, else the mapped error.
DNSServiceErrorType errorOf(DBusMessage* reply);

// The error a "Failure" signal of a daemon object carries; never NoError.
DNSServiceErrorType failureOf(DBusMessage* signal);

// The calls of one owner that are waiting for their answers. Each answer
// runs its handler on the event thread with the loop's lock held; an owner
// that goes away drops its calls first, and their handlers never run.
class PendingCalls {
public:
    using Handler = std::function<void(DBusMessage* reply)>;

    PendingCalls() = default;
    ~PendingCalls() { dropAll(); }
    PendingCalls(const PendingCalls&) = delete;
    PendingCalls& operator=(const PendingCalls&) = delete;

    // Sends `call`; the handler gets the reply or an error message (the
    // daemon's, or the bus's when no answer came in `timeoutMs`). False when
    // it could not be sent (memory, or the connection is closed): the
    // handler then never runs.
    bool send(DBusConnection* connection, DBusMessage* call, Handler handler,
              int timeoutMs = Daemon::kCallTimeoutMs);

    void dropAll();
    bool empty() const { return calls_.empty(); }

private:
    struct InFlight;
    static void onReply(DBusPendingCall* call, void* data);
    static void freeInFlight(void* data);

    std::vector<InFlight*> calls_;
};

}  // namespace Zelm::DnsSd

#pragma once

// Requests to the daemon over D-Bus, and what its answers carry.

#include "daemon/DaemonProtocol.h"

#include <dns_sd.h>

#include <dbus/dbus.h>

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

}  // namespace Zelm::DnsSd

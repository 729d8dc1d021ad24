#pragma once

// Daemon requests and replies between their values (daemon/Messages.h) and
// libdbus messages. Only this file and the bus connection touch a message's
// arguments.

#include "daemon/Messages.h"

#include <dbus/dbus.h>

#include <memory>

namespace Zelm::DnsSd {

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// The method call `request` stands for; null when memory ran out.
Message encode(const Daemon::Request& request);

// The message's arguments; false when one is of a type no daemon message
// the backend reads has, or memory ran out.
bool decode(DBusMessage* message, Daemon::Values& values);

}  // namespace Zelm::DnsSd

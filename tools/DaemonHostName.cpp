#include "DaemonHostName.h"

#include <dbus/dbus.h>

#include <memory>

namespace Zelm::Tool {

namespace {

constexpr int kCallTimeoutMs = 1000;

struct MessageRelease {
    void operator()(DBusMessage* message) const { ::dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageRelease>;

}  // namespace

std::string daemonHostName() {
    DBusError error;
    ::dbus_error_init(&error);
    // A private connection, closed here, leaves libdbus's shared one to the plug-in.
    DBusConnection* bus = ::dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (bus == nullptr) {
        ::dbus_error_free(&error);
        return "";
    }
    ::dbus_connection_set_exit_on_disconnect(bus, FALSE);
    const Message call(::dbus_message_new_method_call("org.freedesktop.Avahi", "/",
                                                      "org.freedesktop.Avahi.Server", "GetHostNameFqdn"));
    const Message reply(
        call ? ::dbus_connection_send_with_reply_and_block(bus, call.get(), kCallTimeoutMs, &error)
             : nullptr);
    const char* name = nullptr;
    std::string host;
    if (reply && ::dbus_message_get_args(reply.get(), &error, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
        host = std::string(name) + (name[0] != '\0' ? "." : "");
    }
    ::dbus_error_free(&error);
    ::dbus_connection_close(bus);
    ::dbus_connection_unref(bus);
    return host;
}

}  // namespace Zelm::Tool

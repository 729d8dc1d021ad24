#include "DaemonFloor.h"

#include "Stopwatch.h"

#include <cstdint>

namespace Zelm::Bench {

namespace {

constexpr int32_t kAny = -1;  // any interface, any protocol
constexpr int32_t kAnyAddressProtocol = -1;
constexpr int kCallTimeoutMs = 5000;

DBusMessage* serverCall(const char* member) {
    return dbus_message_new_method_call("org.freedesktop.Avahi", "/", "org.freedesktop.Avahi.Server", member);
}

}  // namespace

DaemonFloor::~DaemonFloor() {
    if (bus_ != nullptr) {
        dbus_connection_close(bus_);
        dbus_connection_unref(bus_);
    }
}

nlohmann::json DaemonFloor::resolve(const std::string& name, const std::string& type) {
    DBusMessage* request = serverCall("ResolveService");
    const char* instance = name.c_str();
    const char* serviceType = type.c_str();
    const char* domain = "local";
    const uint32_t flags = 0;
    dbus_message_append_args(request, DBUS_TYPE_INT32, &kAny, DBUS_TYPE_INT32, &kAny, DBUS_TYPE_STRING,
                             &instance, DBUS_TYPE_STRING, &serviceType, DBUS_TYPE_STRING, &domain,
                             DBUS_TYPE_INT32, &kAnyAddressProtocol, DBUS_TYPE_UINT32, &flags,
                             DBUS_TYPE_INVALID);
    return call(request);
}

nlohmann::json DaemonFloor::lookup(const std::string& host) {
    DBusMessage* request = serverCall("ResolveHostName");
    const char* hostName = host.c_str();
    const uint32_t flags = 0;
    dbus_message_append_args(request, DBUS_TYPE_INT32, &kAny, DBUS_TYPE_INT32, &kAny, DBUS_TYPE_STRING,
                             &hostName, DBUS_TYPE_INT32, &kAnyAddressProtocol, DBUS_TYPE_UINT32, &flags,
                             DBUS_TYPE_INVALID);
    return call(request);
}

nlohmann::json DaemonFloor::call(DBusMessage* request) {
    DBusError error;
    dbus_error_init(&error);
    if (bus_ == nullptr) {
        bus_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
        if (bus_ != nullptr) dbus_connection_set_exit_on_disconnect(bus_, FALSE);
    }
    DBusMessage* reply = nullptr;
    const auto start = Clock::now();
    if (bus_ != nullptr && request != nullptr) {
        reply = dbus_connection_send_with_reply_and_block(bus_, request, kCallTimeoutMs, &error);
    }
    const double ms = millisSince(start);
    const bool ok = reply != nullptr;
    if (reply != nullptr) dbus_message_unref(reply);
    if (request != nullptr) dbus_message_unref(request);
    dbus_error_free(&error);
    return {{"ms", ms}, {"ok", ok}};
}

}  // namespace Zelm::Bench

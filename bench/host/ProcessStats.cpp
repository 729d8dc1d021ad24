#include "ProcessStats.h"

#include <dbus/dbus.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace Zelm::Bench {

namespace {

long fieldOf(const std::string& line, const char* key) {
    const std::size_t keyLength = std::strlen(key);
    if (line.compare(0, keyLength, key) != 0) {
        return -1;
    }
    return std::strtol(line.c_str() + keyLength, nullptr, 10);
}

// The pid behind one unique bus name, or -1.
long pidOfBusName(DBusConnection* bus, const char* name) {
    DBusMessage* call = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus", "GetConnectionUnixProcessID");
    dbus_message_append_args(call, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 2000, nullptr);
    dbus_message_unref(call);
    if (reply == nullptr) {
        return -1;
    }
    dbus_uint32_t pid = 0;
    const bool ok = dbus_message_get_args(reply, nullptr, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID);
    dbus_message_unref(reply);
    return ok ? static_cast<long>(pid) : -1;
}

}  // namespace

ProcessStats currentProcessStats() {
    ProcessStats stats;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (long value = fieldOf(line, "Threads:"); value >= 0) stats.threads = value;
        if (long value = fieldOf(line, "VmRSS:"); value >= 0) stats.rssKb = value;
        if (long value = fieldOf(line, "VmSize:"); value >= 0) stats.vszKb = value;
    }
    return stats;
}

std::size_t heapBytesInUse() { return mallinfo2().uordblks; }

int busConnectionsOfThisProcess() {
    DBusError error;
    dbus_error_init(&error);
    // A private connection, so that libdbus's shared one (Avahi's) is not touched.
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (bus == nullptr) {
        dbus_error_free(&error);
        return -1;
    }
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    int count = -1;
    DBusMessage* call = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                     "org.freedesktop.DBus", "ListNames");
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 2000, nullptr);
    dbus_message_unref(call);
    char** names = nullptr;
    int nameCount = 0;
    if (reply != nullptr && dbus_message_get_args(reply, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &names,
                                                  &nameCount, DBUS_TYPE_INVALID)) {
        const char* own = dbus_bus_get_unique_name(bus);
        count = 0;
        for (int i = 0; i < nameCount; ++i) {
            if (names[i][0] == ':' && std::strcmp(names[i], own) != 0 &&
                pidOfBusName(bus, names[i]) == static_cast<long>(::getpid())) {
                ++count;
            }
        }
        dbus_free_string_array(names);
    }
    if (reply != nullptr) {
        dbus_message_unref(reply);
    }
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return count;
}

}  // namespace Zelm::Bench

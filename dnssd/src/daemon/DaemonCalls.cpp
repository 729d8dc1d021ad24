#include "daemon/DaemonCalls.h"

#include "names/ErrorCodes.h"

#include <algorithm>
#include <cstdarg>
#include <utility>

namespace Zelm::DnsSd {

Message daemonCall(const char* path, const char* interface, const char* method) {
    Message call(dbus_message_new_method_call(Daemon::kService, path, interface, method));
    if (call) {
        dbus_message_set_auto_start(call.get(), FALSE);
    }
    return call;
}

bool append(DBusMessage* message, int firstType, ...) {
    va_list arguments;
    va_start(arguments, firstType);
    const dbus_bool_t appended = dbus_message_append_args_valist(message, firstType, arguments);
    va_end(arguments);
    return appended != FALSE;
}

bool appendTxt(DBusMessageIter& iterator, const std::vector<std::string>& strings) {
    DBusMessageIter array = DBUS_MESSAGE_ITER_INIT_CLOSED;
    if (!dbus_message_iter_open_container(&iterator, DBUS_TYPE_ARRAY, "ay", &array)) {
        return false;
    }
    for (const std::string& text : strings) {
        DBusMessageIter bytes = DBUS_MESSAGE_ITER_INIT_CLOSED;
        const auto* data = reinterpret_cast<const unsigned char*>(text.data());
        if (!dbus_message_iter_open_container(&array, DBUS_TYPE_ARRAY, "y", &bytes) ||
            !dbus_message_iter_append_fixed_array(&bytes, DBUS_TYPE_BYTE, &data,
                                                  static_cast<int>(text.size())) ||
            !dbus_message_iter_close_container(&array, &bytes)) {
            dbus_message_iter_abandon_container_if_open(&array, &bytes);
            dbus_message_iter_abandon_container(&iterator, &array);
            return false;
        }
    }
    return dbus_message_iter_close_container(&iterator, &array) != FALSE;
}

bool readTxt(DBusMessageIter& iterator, std::vector<std::string>& strings) {
    if (dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&iterator) != DBUS_TYPE_ARRAY) {
        return false;
    }
    DBusMessageIter array;
    dbus_message_iter_recurse(&iterator, &array);
    for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_ARRAY; dbus_message_iter_next(&array)) {
        DBusMessageIter bytes;
        dbus_message_iter_recurse(&array, &bytes);
        const char* data = nullptr;
        int size = 0;
        if (dbus_message_iter_get_arg_type(&bytes) == DBUS_TYPE_BYTE) {
            dbus_message_iter_get_fixed_array(&bytes, &data, &size);
        }
        strings.emplace_back(data != nullptr ? data : "", static_cast<size_t>(size));
    }
    return true;
}

DNSServiceErrorType errorOf(DBusMessage* reply) {
    if (reply == nullptr) {
        return kDNSServiceErr_NoMemory;
    }
    if (dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_ERROR) {
        return kDNSServiceErr_NoError;
    }
    return fromDaemonError(dbus_message_get_error_name(reply));
}

DNSServiceErrorType failureOf(DBusMessage* signal) {
    const char* error = nullptr;
    if (!dbus_message_get_args(signal, nullptr, DBUS_TYPE_STRING, &error, DBUS_TYPE_INVALID)) {
        return kDNSServiceErr_Unknown;
    }
    return fromDaemonError(error);
}

}  // namespace Zelm::DnsSd

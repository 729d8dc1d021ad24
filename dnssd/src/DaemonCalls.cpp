#include "DaemonCalls.h"

#include "ErrorCodes.h"

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
    DBusMessageIter array;
    if (!dbus_message_iter_open_container(&iterator, DBUS_TYPE_ARRAY, "ay", &array)) {
        return false;
    }
    for (const std::string& text : strings) {
        DBusMessageIter bytes;
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

struct PendingCalls::InFlight {
    PendingCalls* owner;
    DBusPendingCall* call;
    Handler handler;
};

bool PendingCalls::send(DBusConnection* connection, DBusMessage* call, Handler handler, int timeoutMs) {
    try {
        calls_.reserve(calls_.size() + 1);
    } catch (...) {
        return false;
    }
    auto* inFlight = new (std::nothrow) InFlight{this, nullptr, std::move(handler)};
    if (inFlight == nullptr) {
        return false;
    }
    DBusPendingCall* pending = nullptr;
    // Null pending: the connection is closed.
    if (!dbus_connection_send_with_reply(connection, call, &pending, timeoutMs) || pending == nullptr) {
        delete inFlight;
        return false;
    }
    inFlight->call = pending;
    if (!dbus_pending_call_set_notify(pending, &PendingCalls::onReply, inFlight,
                                      &PendingCalls::freeInFlight)) {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
        delete inFlight;
        return false;
    }
    calls_.push_back(inFlight);
    return true;
}

void PendingCalls::onReply(DBusPendingCall* call, void* data) {
    auto* inFlight = static_cast<InFlight*>(data);
    PendingCalls* owner = inFlight->owner;
    auto& calls = owner->calls_;
    calls.erase(std::remove(calls.begin(), calls.end(), inFlight), calls.end());
    const Message reply(dbus_pending_call_steal_reply(call));
    Handler handler = std::move(inFlight->handler);
    dbus_pending_call_unref(call);  // frees inFlight
    try {
        handler(reply.get());
    } catch (...) {
        // Out of memory while handling it: the answer is lost, as an
        // unanswered request would be.
    }
}

void PendingCalls::freeInFlight(void* data) { delete static_cast<InFlight*>(data); }

void PendingCalls::dropAll() {
    for (InFlight* inFlight : std::exchange(calls_, {})) {
        DBusPendingCall* call = inFlight->call;
        dbus_pending_call_cancel(call);
        dbus_pending_call_unref(call);
    }
}

}  // namespace Zelm::DnsSd

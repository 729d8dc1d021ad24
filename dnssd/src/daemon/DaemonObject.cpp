#include "names/ErrorCodes.h"
#include "operations/Operation.h"

namespace Zelm::DnsSd {

namespace {

// Frees a daemon object whose path nothing keeps; unanswered.
void sendFree(BusConnection& bus, const char* path, const char* interface) {
    if (const Message message = daemonCall(path, interface, "Free")) {
        dbus_message_set_no_reply(message.get(), TRUE);
        bus.send(message.get());
    }
}

}  // namespace

void DaemonObject::create(BusConnection& bus, DBusMessage* creation, PendingCalls& calls, bool startIt,
                          Settle::Function created, std::function<void(DNSServiceErrorType)> startFailed) {
    BusConnection* connection = &bus;
    const bool sent = calls.send(
        bus, creation, [this, connection, &calls, startIt, created, startFailed](DBusMessage* reply) {
            DNSServiceErrorType error = errorOf(reply);
            if (reply != nullptr && dbus_message_is_error(reply, kObjectLimitErrorName)) {
                error = kObjectLimitReached;
            }
            const char* path = nullptr;
            if (error == kDNSServiceErr_NoError &&
                !dbus_message_get_args(reply, nullptr, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID)) {
                error = kDNSServiceErr_Unknown;
            }
            if (error == kDNSServiceErr_NoError) {
                try {
                    if (!adopt(*connection, path, calls, startIt, startFailed)) {
                        error = kDNSServiceErr_NoMemory;
                    }
                } catch (...) {
                    error = kDNSServiceErr_NoMemory;
                }
                if (error != kDNSServiceErr_NoError) {
                    if (exists()) {
                        free();
                    } else {
                        sendFree(*connection, path, interface_);
                    }
                }
            }
            created(error);
        });
    if (!sent) {
        created(kDNSServiceErr_NoMemory);
    }
}

bool DaemonObject::adopt(BusConnection& bus, const char* path, PendingCalls& calls, bool startIt,
                         const std::function<void(DNSServiceErrorType)>& startFailed) {
    path_ = path;
    bus_ = &bus;
    if (!bus.route(path_, target_)) {
        return false;
    }
    return !startIt || call("Start", calls, [startFailed](DBusMessage* started) {
        const DNSServiceErrorType startError = errorOf(started);
        if (startError != kDNSServiceErr_NoError && startFailed) {
            startFailed(startError);
        }
    });
}

Message DaemonObject::callTo(const char* method) const {
    return exists() ? daemonCall(path_.c_str(), interface_, method) : Message();
}

bool DaemonObject::call(const char* method, PendingCalls& calls, PendingCalls::Handler handler) {
    const Message message = callTo(method);
    return message && calls.send(*bus_, message.get(), std::move(handler));
}

void DaemonObject::free() {
    if (bus_ == nullptr) {
        return;
    }
    // Unanswered: the caller does not wait for the daemon. Should it not go
    // out (no memory), the daemon frees the object with the connection.
    sendFree(*bus_, path_.c_str(), interface_);
    forget();
}

void DaemonObject::forget() {
    if (bus_ != nullptr) {
        bus_->unroute(path_);
        bus_ = nullptr;
        path_.clear();
    }
}

}  // namespace Zelm::DnsSd

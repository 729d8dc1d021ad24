#include "bus/BusConnection.h"

#include "bus/Waiter.h"

#include <cstring>
#include <new>

namespace Zelm::DnsSd {

namespace {

// Every signal the daemon sends to this client, and the bus's word when the
// daemon comes or goes. The bus matches the daemon's name against whoever
// owns it at the time, so the rules hold across daemon restarts.
constexpr const char* kMatchRules[] = {
    "type='signal',sender='org.freedesktop.Avahi'",
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.freedesktop.Avahi'",
};

bool readString(DBusMessage* reply, std::string& text) {
    const char* value = nullptr;
    if (!dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &value, DBUS_TYPE_INVALID)) {
        return false;
    }
    text = value;
    return true;
}

}  // namespace

std::unique_ptr<BusConnection> BusConnection::open(EventLoop& loop, Listener& listener,
                                                   DNSServiceErrorType& error) {
    DBusError busError;
    dbus_error_init(&busError);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &busError);
    if (connection == nullptr) {
        error = dbus_error_has_name(&busError, DBUS_ERROR_NO_MEMORY) ? kDNSServiceErr_NoMemory
                                                                     : kDNSServiceErr_ServiceNotRunning;
        dbus_error_free(&busError);
        return nullptr;
    }
    // A lost bus is news for the pool, never a reason to end the host.
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    std::unique_ptr<BusConnection> opened(new (std::nothrow) BusConnection(loop, listener, connection));
    if (!opened) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        error = kDNSServiceErr_NoMemory;
    }
    return opened;
}

BusConnection::~BusConnection() {
    loop_.cancel(askAgain_);
    calls_.dropAll();
    settleWaiters(kDNSServiceErr_ServiceNotRunning);
    if (filtered_) {
        dbus_connection_remove_filter(connection_, &BusConnection::filter, this);
    }
    if (watched_) {
        loop_.unwatch(connection_);
    }
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

bool BusConnection::awaitState(Waiter& known) {
    try {
        stateWaiters_.push_back(&known);
        return true;
    } catch (...) {
        return false;
    }
}

bool BusConnection::start(Waiter* known) {
    if (known != nullptr && !awaitState(*known)) {
        return false;
    }
    filtered_ = dbus_connection_add_filter(connection_, &BusConnection::filter, this, nullptr) != FALSE;
    watched_ = filtered_ && loop_.watch(connection_);
    if (!watched_) {
        return false;
    }
    for (const char* rule : kMatchRules) {
        Message addMatch(
            dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "AddMatch"));
        if (!addMatch || !append(addMatch.get(), DBUS_TYPE_STRING, &rule, DBUS_TYPE_INVALID) ||
            !send(addMatch.get())) {
            return false;
        }
    }
    askDaemon();
    return true;
}

void BusConnection::askDaemon() {
    // Answered in this order: the names are known when the state arrives.
    const Message hostName = daemonCall(Daemon::kServerPath, Daemon::kServer, "GetHostName");
    const Message domainName = daemonCall(Daemon::kServerPath, Daemon::kServer, "GetDomainName");
    const Message state = daemonCall(Daemon::kServerPath, Daemon::kServer, "GetState");
    const bool asked =
        hostName && domainName && state &&
        calls_.send(*this, hostName.get(),
                    [this](DBusMessage* reply) {
                        if (errorOf(reply) == kDNSServiceErr_NoError) {
                            readString(reply, hostName_);
                        }
                    }) &&
        calls_.send(*this, domainName.get(),
                    [this](DBusMessage* reply) {
                        if (errorOf(reply) == kDNSServiceErr_NoError) {
                            readString(reply, domainName_);
                        }
                    }) &&
        calls_.send(*this, state.get(), [this](DBusMessage* reply) {
            int32_t value = 0;
            const DNSServiceErrorType error = errorOf(reply);
            if (error == kDNSServiceErr_NoMemory) {
                askLater();
            } else if (error == kDNSServiceErr_NoError &&
                       dbus_message_get_args(reply, nullptr, DBUS_TYPE_INT32, &value, DBUS_TYPE_INVALID)) {
                setState(static_cast<Daemon::ServerState>(value));
            } else {
                setState(Daemon::ServerState::Invalid);  // not on the bus, or not answering
            }
        });
    if (!asked) {
        askLater();
    }
}

void BusConnection::askLater() {
    constexpr int kAskAgainMs = 50;
    settleWaiters(kDNSServiceErr_NoMemory);
    loop_.schedule(askAgain_, kAskAgainMs);
}

void BusConnection::settleWaiters(DNSServiceErrorType code) {
    for (Waiter* waiter : std::exchange(stateWaiters_, {})) {
        waiter->settle(code);
    }
}

bool BusConnection::serves() const {
    return !failed && (state_ == Daemon::ServerState::Running || state_ == Daemon::ServerState::Registering ||
                       state_ == Daemon::ServerState::Collision);
}

void BusConnection::setState(Daemon::ServerState state) {
    const Daemon::ServerState previous = state_;
    state_ = state;
    stateKnown_ = true;
    settleWaiters(serves() ? kDNSServiceErr_NoError : kDNSServiceErr_ServiceNotRunning);
    if (state == previous) {
        return;
    }
    if (state == Daemon::ServerState::Invalid) {
        listener_.daemonLeft(*this);
        return;
    }
    if (state == Daemon::ServerState::Running && previous != Daemon::ServerState::Invalid) {
        // The daemon settled a new host name: default service names follow it.
        if (const Message call = daemonCall(Daemon::kServerPath, Daemon::kServer, "GetHostName")) {
            calls_.send(*this, call.get(), [this](DBusMessage* reply) {
                if (errorOf(reply) == kDNSServiceErr_NoError) {
                    readString(reply, hostName_);
                }
            });
        }
    }
    listener_.serverStateChanged(*this);
}

void BusConnection::callEnded() {
    --callsInFlight_;
    listener_.callsEnded(*this);
}

bool BusConnection::send(DBusMessage* message) {
    return dbus_connection_send(connection_, message, nullptr) != FALSE;
}

bool BusConnection::route(const std::string& path, SignalTarget& target) {
    try {
        routes_[path] = &target;
        return true;
    } catch (...) {
        return false;
    }
}

void BusConnection::unroute(const std::string& path) { routes_.erase(path); }

DBusHandlerResult BusConnection::filter(DBusConnection*, DBusMessage* message, void* self) {
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_SIGNAL) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    try {
        static_cast<BusConnection*>(self)->handle(message);
    } catch (...) {
        // Out of memory: the event is lost.
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

void BusConnection::handle(DBusMessage* message) {
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        failed = true;
        state_ = Daemon::ServerState::Invalid;
        loop_.cancel(askAgain_);
        settleWaiters(kDNSServiceErr_ServiceNotRunning);
        listener_.busLost(*this);
        return;
    }
    if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
        const char* name = nullptr;
        const char* previousOwner = nullptr;
        const char* newOwner = nullptr;
        if (dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &previousOwner,
                                  DBUS_TYPE_STRING, &newOwner, DBUS_TYPE_INVALID) &&
            std::strcmp(name, Daemon::kService) == 0) {
            if (*newOwner == '\0') {
                setState(Daemon::ServerState::Invalid);
            } else {
                askDaemon();
            }
        }
        return;
    }
    const char* path = dbus_message_get_path(message);
    if (path == nullptr) {
        return;
    }
    if (dbus_message_is_signal(message, Daemon::kServer, "StateChanged") &&
        std::strcmp(path, Daemon::kServerPath) == 0) {
        int32_t state = 0;
        if (dbus_message_get_args(message, nullptr, DBUS_TYPE_INT32, &state, DBUS_TYPE_INVALID)) {
            setState(static_cast<Daemon::ServerState>(state));
        }
        return;
    }
    const auto route = routes_.find(path);
    if (route != routes_.end()) {
        route->second->onSignal(message);
    }
}

}  // namespace Zelm::DnsSd

#include "bus/BusConnection.h"

#include "bus/DroppedMessages.h"
#include "bus/MessageCodec.h"
#include "bus/Waiter.h"
#include "names/ErrorCodes.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace Zelm::DnsSd {

namespace {

// Every signal the daemon broadcasts, and the bus's word when the daemon
// comes or goes. The bus matches the daemon's name against whoever owns it
// at the time, so the rules hold across daemon restarts. Signals sent to
// this connection alone arrive whatever the rules say: the sender check in
// handleSignal() is what keeps them out.
constexpr const char* kMatchRules[] = {
    "type='signal',sender='org.freedesktop.Avahi'",
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.freedesktop.Avahi'",
};

constexpr const char* kDefaultSystemBus = "unix:path=/var/run/dbus/system_bus_socket";

template <typename Out>
std::optional<Out> value(const Daemon::Reply& reply) {
    return reply.error == kDNSServiceErr_NoError ? Daemon::unpack<Out>(reply.values) : std::nullopt;
}

}  // namespace

BusConnection::BusConnection(EventLoop& loop, Listener& listener, DBusConnection* connection)
    : loop_(loop),
      listener_(listener),
      connection_(connection),
      lastHeard_(Clock::now()),
      askAgain_([this] { askOwner(); }),
      callsDue_([this] { expireCalls(); }) {}

std::unique_ptr<BusConnection> BusConnection::open(EventLoop& loop, Listener& listener,
                                                   DNSServiceErrorType& error) {
    // A set-user-id host is not pointed at another bus by its caller.
    const char* address = ::secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    DBusError busError;
    dbus_error_init(&busError);
    // Only the connect happens here; the authentication and "Hello" are
    // answered on the event loop, so a stopped bus holds up nobody.
    DBusConnection* connection =
        dbus_connection_open_private(address != nullptr ? address : kDefaultSystemBus, &busError);
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
    loop_.cancel(callsDue_);
    awaited_.clear();
    settleWaiters(kDNSServiceErr_ServiceNotRunning);
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

void BusConnection::stopAwaiting(Waiter& known) {
    stateWaiters_.erase(std::remove(stateWaiters_.begin(), stateWaiters_.end(), &known), stateWaiters_.end());
}

bool BusConnection::start(Waiter* known) {
    if (known != nullptr && !awaitState(*known)) {
        return false;
    }
    watched_ = loop_.watch(connection_, *this);
    if (!watched_) {
        return false;
    }
    try {
        if (!ask(Daemon::request(Daemon::kHello, Daemon::kBusPath), [](const Daemon::Reply&) {})) {
            return false;
        }
        for (const char* rule : kMatchRules) {
            if (!send(Daemon::request(Daemon::kAddMatch, Daemon::kBusPath, rule))) {
                return false;
            }
        }
    } catch (...) {
        return false;  // out of memory: the caller closes the connection, and `known` with it
    }
    askOwner();
    return true;
}

void BusConnection::askOwner() {
    // Memory that runs out on the way: asked again shortly.
    bool asked = false;
    try {
        // Asked after the match rules are in place, so that no change of owner
        // falls between the answer and the first notice.
        asked = ask(Daemon::request(Daemon::kGetNameOwner, Daemon::kBusPath, Daemon::kService),
                    [this](const Daemon::Reply& reply) {
                        try {
                            if (reply.error == kDNSServiceErr_NoMemory) {
                                askLater();
                            } else if (const auto owner = value<std::tuple<std::string>>(reply)) {
                                ownerChanged(std::get<0>(*owner));
                            } else {
                                ownerChanged(std::string());  // no owner, or the bus is failing
                            }
                        } catch (...) {
                            askLater();
                        }
                    });
    } catch (...) {
    }
    if (!asked) {
        askLater();
    }
}

void BusConnection::ownerChanged(const std::string& owner) {
    owner_ = owner;
    if (owner_.empty()) {
        setState(Daemon::ServerState::Invalid);
    } else {
        askDaemon();
    }
}

void BusConnection::askDaemon() {
    // Answered in this order: the names are known when the state arrives.
    // Memory that runs out on the way: asked again shortly.
    bool asked = askName(Daemon::kGetHostName, hostName_) && askName(Daemon::kGetDomainName, domainName_);
    try {
        asked =
            asked &&
            ask(Daemon::request(Daemon::kGetState, Daemon::kServerPath), [this](const Daemon::Reply& reply) {
                if (reply.error == kDNSServiceErr_NoMemory) {
                    askLater();
                } else if (const auto state = value<std::tuple<int32_t>>(reply)) {
                    setState(static_cast<Daemon::ServerState>(std::get<0>(*state)));
                } else {
                    setState(Daemon::ServerState::Invalid);  // not on the bus, or not answering
                }
            });
    } catch (...) {
        asked = false;
    }
    if (!asked) {
        askLater();
    }
}

bool BusConnection::askName(const Daemon::Method<std::tuple<>, std::tuple<std::string>>& method,
                            std::string& name) {
    try {
        return ask(Daemon::request(method, Daemon::kServerPath), [&name](const Daemon::Reply& reply) {
            try {
                if (const auto answer = value<std::tuple<std::string>>(reply)) {
                    name = std::get<0>(*answer);
                }
            } catch (...) {
                // Out of memory: the name stays as it was.
            }
        });
    } catch (...) {
        return false;
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

bool BusConnection::quiet() const {
    if (!loop_.idle() || dbus_connection_get_dispatch_status(connection_) == DBUS_DISPATCH_DATA_REMAINS) {
        return false;  // what came in has not been looked at yet
    }
    int fd = -1;
    if (!dbus_connection_get_socket(connection_, &fd)) {
        return true;
    }
    pollfd unread{fd, POLLIN, 0};
    return ::poll(&unread, 1, 0) == 0;
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
        askName(Daemon::kGetHostName, hostName_);
    }
    listener_.serverStateChanged(*this);
}

Channel::CallId BusConnection::call(const Daemon::Request& request, Handler handler, int timeoutMs) {
    if (failed || !roomForCalls(1)) {
        return 0;
    }
    const Message message = encode(request);
    dbus_uint32_t serial = 0;
    try {
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(timeoutMs);
        auto [entry, added] = awaited_.emplace(0, Awaited{std::move(handler), request.peer, due});
        if (!message || !dbus_connection_send(connection_, message.get(), &serial) || serial == 0) {
            awaited_.erase(entry);
            return 0;
        }
        // The serial is known only once the message is queued; no answer
        // can have been read before this returns, under the loop's lock.
        auto node = awaited_.extract(entry);
        node.key() = serial;
        awaited_.insert(std::move(node));
        (void)added;
        if (!loop_.isScheduled(callsDue_) || due < loop_.dueTime(callsDue_)) {
            loop_.schedule(callsDue_, timeoutMs);
        }
    } catch (...) {
        return 0;
    }
    return serial;
}

void BusConnection::cancel(CallId id) {
    const auto entry = awaited_.find(static_cast<dbus_uint32_t>(id));
    if (entry != awaited_.end()) {
        // Kept, without its handler, until the answer or the time-out. The
        // handler goes once out of the map: its captures may cancel more.
        const Handler dropped = std::exchange(entry->second.handler, nullptr);
    }
}

bool BusConnection::send(const Daemon::Request& request) {
    const Message message = encode(request);
    if (!message) {
        return false;
    }
    dbus_message_set_no_reply(message.get(), TRUE);
    return dbus_connection_send(connection_, message.get(), nullptr) != FALSE;
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

void BusConnection::finish(dbus_uint32_t serial, const Daemon::Reply& reply) {
    const auto entry = awaited_.find(serial);
    if (entry == awaited_.end()) {
        return;
    }
    // The handler may cancel calls, this one's owner's among them.
    Handler handler = std::move(entry->second.handler);
    awaited_.erase(entry);
    listener_.callsEnded(*this);
    if (handler) {
        handler(reply);
    }
}

void BusConnection::expireCalls() {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    std::vector<dbus_uint32_t> expired;
    for (const auto& [serial, awaited] : awaited_) {
        if (awaited.due <= now) {
            expired.push_back(serial);
        } else {
            next = std::min(next, awaited.due);
        }
    }
    Daemon::Reply noAnswer;
    noAnswer.error = kDNSServiceErr_ServiceNotRunning;
    for (dbus_uint32_t serial : expired) {
        finish(serial, noAnswer);
    }
    // A handler above may have armed the timer for a later call of its own.
    if (next != Clock::time_point::max() &&
        (!loop_.isScheduled(callsDue_) || next < loop_.dueTime(callsDue_))) {
        loop_.schedule(
            callsDue_,
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) + 1);
    }
}

void BusConnection::receive(DBusMessage* message) {
    try {
        handle(message);
    } catch (...) {
        // Out of memory: the event is lost.
    }
}

void BusConnection::handle(DBusMessage* message) {
    const char* sender = dbus_message_get_sender(message);
    switch (dbus_message_get_type(message)) {
        case DBUS_MESSAGE_TYPE_METHOD_RETURN:
        case DBUS_MESSAGE_TYPE_ERROR:
            handleReply(message, sender);
            break;
        case DBUS_MESSAGE_TYPE_SIGNAL:
            handleSignal(message, sender);
            break;
        default:
            noteDroppedMessage();
            break;
    }
}

bool BusConnection::believed(const char* sender, Daemon::Peer peer) const {
    if (sender == nullptr) {
        return false;
    }
    return peer == Daemon::Peer::Bus ? std::strcmp(sender, Daemon::kBusService) == 0
                                     : !owner_.empty() && owner_ == sender;
}

void BusConnection::handleReply(DBusMessage* message, const char* sender) {
    const auto entry = awaited_.find(dbus_message_get_reply_serial(message));
    const bool error = dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_ERROR;
    if (entry == awaited_.end()) {
        // A late answer to a call timed out is no news; a stranger's is.
        if (!believed(sender, Daemon::Peer::Daemon) && !believed(sender, Daemon::Peer::Bus)) {
            noteDroppedMessage();
        }
        return;
    }
    // The bus answers for the daemon when it does not deliver the call (no
    // daemon, a limit, its policy); nobody else can send as the bus.
    if (!believed(sender, entry->second.peer) && !(error && believed(sender, Daemon::Peer::Bus))) {
        noteDroppedMessage();  // the real answer may still come
        return;
    }
    lastHeard_ = Clock::now();
    Daemon::Reply reply;
    try {
        if (error) {
            reply.error = fromDaemonError(dbus_message_get_error_name(message));
        } else if (!decode(message, reply.values)) {
            noteDroppedMessage();
            reply.values.clear();
            reply.error = kDNSServiceErr_Unknown;
        }
    } catch (...) {
        // The answer came but could not be read: the caller learns why.
        reply.values.clear();
        reply.error = kDNSServiceErr_NoMemory;
    }
    finish(entry->first, reply);
}

void BusConnection::handleSignal(DBusMessage* message, const char* sender) {
    if (sender == nullptr && dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        lost();  // libdbus's own word: the bus is gone
        return;
    }
    Daemon::Incoming incoming{
        Daemon::Peer::Daemon, dbus_message_get_interface(message), dbus_message_get_member(message), {}};
    if (believed(sender, Daemon::Peer::Bus)) {
        incoming.from = Daemon::Peer::Bus;
    } else if (!believed(sender, Daemon::Peer::Daemon)) {
        noteDroppedMessage();
        return;
    }
    lastHeard_ = Clock::now();
    if (!decode(message, incoming.values)) {
        noteDroppedMessage();
        return;
    }
    if (const auto change = Daemon::read(Daemon::kNameOwnerChanged, incoming)) {
        const auto& [name, previousOwner, newOwner] = *change;
        if (name == Daemon::kService) {
            ownerChanged(newOwner);
        }
        return;
    }
    const char* path = dbus_message_get_path(message);
    if (incoming.from != Daemon::Peer::Daemon || path == nullptr) {
        return;  // the bus's word on other names, or on this connection
    }
    if (std::strcmp(path, Daemon::kServerPath) == 0) {
        if (const auto state = Daemon::read(Daemon::kServerStateChanged, incoming)) {
            setState(static_cast<Daemon::ServerState>(std::get<0>(*state)));
        }
        return;
    }
    const auto route = routes_.find(path);
    if (route != routes_.end()) {
        route->second->onSignal(incoming);
    }
}

void BusConnection::lost() {
    failed = true;
    state_ = Daemon::ServerState::Invalid;
    owner_.clear();
    loop_.cancel(askAgain_);
    loop_.cancel(callsDue_);
    settleWaiters(kDNSServiceErr_ServiceNotRunning);
    // The answers still awaited will never come: each ends as a failure.
    Daemon::Reply gone;
    gone.error = kDNSServiceErr_ServiceNotRunning;
    while (!awaited_.empty()) {
        finish(awaited_.begin()->first, gone);
    }
    listener_.busLost(*this);
}

}  // namespace Zelm::DnsSd

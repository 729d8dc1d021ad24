#include "link/ConnectionPool.h"

#include "api/Reference.h"
#include "link/ConnectionChoice.h"

#include <algorithm>
#include <vector>

namespace Zelm::DnsSd {

namespace {

// Delays between attempts to reach a bus that is not there.
constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 1000;

std::vector<Reference*> snapshot(const std::set<Reference*>& references) {
    return {references.begin(), references.end()};
}

}  // namespace

ConnectionPool::ConnectionPool(EventLoop& loop)
    : loop_(loop),
      // Out of memory on the event thread: the next timer or signal tries again.
      reconnectTimer_([this] { orLose(nullptr, [this] { reconnect(); }); }),
      dropTimer_([this] { dropFailedIdleConnections(); }) {}

ConnectionPool::~ConnectionPool() { closeAll(); }

BusConnection* ConnectionPool::connectionWithRoom(int objects, LoopLock& loopLock, const Patience& patience,
                                                  DNSServiceErrorType& error) {
    while (true) {
        dropFailedIdleConnections();
        const ConnectionChoice<BusConnection> choice = chooseConnection(connections_, objects);
        if (choice.step == ConnectionStep::Use) {
            return choice.connection;
        }
        if (choice.step == ConnectionStep::DaemonAbsent) {
            error = kDNSServiceErr_ServiceNotRunning;
            return nullptr;
        }
        BusConnection* awaited = choice.connection;
        Waiter known;
        if (choice.step == ConnectionStep::Open) {
            // Only the connect happens here; its first answers come on the event thread.
            std::unique_ptr<BusConnection> connection = BusConnection::open(loop_, *this, error);
            if (!connection) {
                return nullptr;
            }
            awaited = adopt(std::move(connection), &known);
        } else if (!awaited->awaitState(known)) {
            awaited = nullptr;
        }
        if (awaited == nullptr) {
            error = kDNSServiceErr_NoMemory;
            return nullptr;
        }
        const DNSServiceErrorType code = known.wait(loopLock, patience, awaited);
        if (holds(awaited)) {
            awaited->stopAwaiting(known);
        }
        if (code == kDNSServiceErr_NoMemory) {
            error = kDNSServiceErr_NoMemory;
            return nullptr;
        }
        if (!holds(awaited) || !awaited->stateKnown()) {
            // Silent: the bus or the daemon stopped. The connection stays and
            // knows once they answer again.
            error = kDNSServiceErr_ServiceNotRunning;
            return nullptr;
        }
        if (!awaited->serves()) {
            error = kDNSServiceErr_ServiceNotRunning;  // it stays and waits for the daemon
            return nullptr;
        }
    }
}

bool ConnectionPool::waitForCallRoom(BusConnection* connection, int calls, LoopLock& loopLock,
                                     const Patience& patience) {
    ++waitingForCallRoom_;
    patience.wait(callRoom_, loopLock, connection, [&] {
        return !holds(connection) || connection->failed || connection->roomForCalls(calls);
    });
    --waitingForCallRoom_;
    const bool room = holds(connection) && !connection->failed && connection->roomForCalls(calls);
    if (waitingForCallRoom_ > 0 && room && connection->roomForCalls(calls + 1)) {
        callRoom_.notify_one();  // room for the next one too
    }
    return room;
}

void ConnectionPool::callsEnded(BusConnection&) {
    if (waitingForCallRoom_ > 0) {
        callRoom_.notify_one();
    }
}

BusConnection* ConnectionPool::adopt(std::unique_ptr<BusConnection> connection, Waiter* known) {
    BusConnection* opened = connection.get();
    try {
        connections_.push_back(std::move(connection));
    } catch (...) {
        return nullptr;
    }
    if (!opened->start(known)) {
        connections_.pop_back();
        return nullptr;
    }
    return opened;
}

bool ConnectionPool::holds(const BusConnection* connection) const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [connection](const auto& held) { return held.get() == connection; });
}

void ConnectionPool::join(BusConnection& connection, Reference& reference) {
    connection.members.insert(&reference);
    const int objects = reference.operation().daemonObjects();
    connection.objects += objects;
    connection.accepted += reference.startWaiter() == nullptr ? objects : 0;
    reference.setConnection(&connection);
}

void ConnectionPool::accepted(BusConnection& connection, Reference& reference) {
    connection.accepted += reference.operation().daemonObjects();
}

void ConnectionPool::leave(Reference& reference) {
    if (BusConnection* connection = reference.connection()) {
        connection->members.erase(&reference);
        const int objects = reference.operation().daemonObjects();
        connection->objects -= objects;
        connection->accepted -= reference.startWaiter() == nullptr ? objects : 0;
        reference.setConnection(nullptr);
    } else {
        waiting_.erase(&reference);
    }
}

bool ConnectionPool::servesNow() const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const auto& connection) { return connection->serves(); });
}

void ConnectionPool::closeAll() {
    loop_.cancel(reconnectTimer_);
    loop_.cancel(dropTimer_);
    connections_.clear();
}

void ConnectionPool::serverStateChanged(BusConnection& connection) {
    for (Reference* member : snapshot(connection.members)) {
        orLose(member, [&] { member->operation().serverStateChanged(connection.serverState()); });
    }
    if (connection.serverState() == Daemon::ServerState::Running) {
        resumeWaiting(connection);
    }
}

void ConnectionPool::daemonLeft(BusConnection& connection) { endMembers(connection); }

void ConnectionPool::busLost(BusConnection& connection) {
    endMembers(connection);
    if (waitingForCallRoom_ > 0) {
        callRoom_.notify_all();
    }
    // Not from inside the lost connection's own dispatch.
    loop_.schedule(dropTimer_, 0);
    if (!waiting_.empty()) {
        reconnectDelayMs_ = 0;
        loop_.schedule(reconnectTimer_, 0);
    }
}

void ConnectionPool::endMembers(BusConnection& connection) {
    for (Reference* member : snapshot(connection.members)) {
        leave(*member);
        Operation& operation = member->operation();
        if (Waiter* starting = member->startWaiter()) {
            // Its start may try again elsewhere: no reply, just the answer.
            starting->settle(kDNSServiceErr_ServiceNotRunning);
            operation.forgetDaemon();
        } else if (keepsWaiting(*member)) {
            waiting_.insert(member);
        } else {
            member->failConnection();  // after the error reply the operation posted
        }
    }
}

bool ConnectionPool::keepsWaiting(Reference& member) {
    try {
        return member.operation().daemonLost();
    } catch (...) {
        member.lose();  // its error reply could not be made
        return false;
    }
}

void ConnectionPool::resumeWaiting(BusConnection& connection) {
    for (Reference* waiting : snapshot(waiting_)) {
        waiting_.erase(waiting);
        join(connection, *waiting);
        orLose(waiting, [&] { waiting->operation().resume(DaemonContext{&connection, waiting}); });
    }
}

void ConnectionPool::reconnect() {
    dropFailedIdleConnections();
    if (waiting_.empty() || std::any_of(connections_.begin(), connections_.end(),
                                        [](const auto& held) { return !held->failed; })) {
        // A connection there waits for the daemon and resumes them when it runs.
        return;
    }
    DNSServiceErrorType error = kDNSServiceErr_NoError;
    if (std::unique_ptr<BusConnection> connection = BusConnection::open(loop_, *this, error)) {
        if (adopt(std::move(connection), nullptr) != nullptr) {
            reconnectDelayMs_ = 0;
            return;
        }
    }
    // No bus yet: nothing would tell when it is back, so try again later.
    reconnectDelayMs_ = std::clamp(reconnectDelayMs_ * 2, kFirstRetryMs, kLongestRetryMs);
    loop_.schedule(reconnectTimer_, reconnectDelayMs_);
}

void ConnectionPool::dropFailedIdleConnections() {
    connections_.remove_if(
        [](const auto& connection) { return connection->failed && connection->members.empty(); });
}

}  // namespace Zelm::DnsSd

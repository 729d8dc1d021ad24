#include "DaemonLink.h"

#include "ErrorCodes.h"
#include "Reference.h"

#include <avahi-common/error.h>
#include <avahi-common/timeval.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

namespace Zelm::DnsSd {

namespace {

// Constant-initialised and never destroyed: references may outlive static
// destruction at exit, and an unloaded library leaves nothing on the heap.
static_assert(std::is_trivially_destructible_v<std::mutex>);
std::mutex sharedLinkMutex;
DaemonLink* sharedLinkInstance = nullptr;  // guarded by sharedLinkMutex

// Connection attempts for one request before it gives up.
constexpr int kAttachAttempts = 4;

// Delays between attempts to reach a bus that is not there.
constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 1000;

bool serves(AvahiClientState state) {
    return state == AVAHI_CLIENT_S_RUNNING || state == AVAHI_CLIENT_S_REGISTERING ||
           state == AVAHI_CLIENT_S_COLLISION;
}

std::vector<Reference*> snapshot(const std::set<Reference*>& references) {
    return {references.begin(), references.end()};
}

}  // namespace

std::shared_ptr<DaemonLink> DaemonLink::shared(DNSServiceErrorType& error) {
    std::lock_guard<std::mutex> lock(sharedLinkMutex);
    if (sharedLinkInstance != nullptr) {
        // Null while the last holder is destroying it: a new link replaces it.
        if (std::shared_ptr<DaemonLink> existing = sharedLinkInstance->weak_from_this().lock()) {
            return existing;
        }
    }
    std::unique_ptr<EventLoop> loop = EventLoop::start();
    if (!loop) {
        error = kDNSServiceErr_Unknown;
        return nullptr;
    }
    auto* created = new (std::nothrow) DaemonLink(std::move(loop));
    if (created == nullptr) {
        error = kDNSServiceErr_NoMemory;
        return nullptr;
    }
    std::shared_ptr<DaemonLink> link(created);
    sharedLinkInstance = created;
    return link;
}

DaemonLink::DaemonLink(std::unique_ptr<EventLoop> loop) : loop_(std::move(loop)) {}

DaemonLink::~DaemonLink() {
    {
        std::lock_guard<std::mutex> lock(sharedLinkMutex);
        if (sharedLinkInstance == this) {
            sharedLinkInstance = nullptr;
        }
    }
    // The last reference is gone, so nothing else uses the clients.
    loop_->stop();
    if (reconnectTimer_ != nullptr) {
        loop_->api()->timeout_free(reconnectTimer_);
    }
    for (const auto& connection : connections_) {
        avahi_client_free(connection->client);
    }
}

DNSServiceErrorType DaemonLink::attach(Reference& reference) {
    Lock lock(*this);
    dropFailedIdleConnections();
    Operation& operation = reference.operation();
    const int objects = operation.daemonObjects();

    int avahiError = AVAHI_ERR_FAILURE;
    for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
        DaemonConnection* connection = connectionWithRoom(objects, avahiError);
        if (connection == nullptr) {
            break;
        }
        avahiError = operation.start(DaemonContext{connection->client, loop_->api(), &reference});
        if (avahiError == AVAHI_OK) {
            connection->objects += objects;
            connection->members.insert(&reference);
            reference.connection = connection;
            return kDNSServiceErr_NoError;
        }
        if (avahiError == AVAHI_ERR_TOO_MANY_OBJECTS && connection->objects > 0) {
            // This connection is full; the next attempt opens a sibling.
            connection->capacity = connection->objects;
            continue;
        }
        if (avahiError == AVAHI_ERR_DISCONNECTED || avahiError == AVAHI_ERR_DBUS_ERROR) {
            // The daemon went away before the client heard of it; a fresh
            // connection tells whether it is back.
            connectionLost(*connection);
            continue;
        }
        break;
    }
    return fromAvahiError(avahiError);
}

void DaemonLink::detach(Reference& reference) {
    Lock lock(*this);
    if (DaemonConnection* connection = reference.connection) {
        reference.operation().stop();
        connection->objects -= reference.operation().daemonObjects();
        connection->members.erase(&reference);
        reference.connection = nullptr;
    } else if (waiting_.erase(&reference) == 1) {
        reference.operation().stop();
    }
    dropFailedIdleConnections();
}

DaemonConnection* DaemonLink::openConnection(int& avahiError) {
    auto connection = std::make_unique<DaemonConnection>();
    connection->link = this;
    // With AVAHI_CLIENT_NO_FAIL a missing daemon is no failure: the client
    // waits for it to appear on the bus and reports it by a state change.
    // Without a bus it still fails at once.
    AvahiClient* client = avahi_client_new(
        loop_->api(), static_cast<AvahiClientFlags>(AVAHI_CLIENT_IGNORE_USER_CONFIG | AVAHI_CLIENT_NO_FAIL),
        &DaemonLink::onClientState, connection.get(), &avahiError);
    if (client == nullptr) {
        return nullptr;
    }
    if (avahi_client_get_state(client) == AVAHI_CLIENT_FAILURE) {
        avahiError = avahi_client_errno(client);
        avahi_client_free(client);
        return nullptr;
    }
    connection->client = client;
    connections_.push_back(std::move(connection));
    DaemonConnection& opened = *connections_.back();
    if (avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING) {
        resumeWaiting(opened);
    }
    return &opened;
}

DaemonConnection* DaemonLink::connectionWithRoom(int objects, int& avahiError) {
    bool daemonAwaited = false;
    for (const auto& connection : connections_) {
        if (connection->failed) {
            continue;
        }
        if (!serves(avahi_client_get_state(connection->client))) {
            daemonAwaited = true;  // the client would have heard of its return
            continue;
        }
        if (connection->objects + objects <= connection->capacity) {
            return connection.get();
        }
    }
    DaemonConnection* opened = daemonAwaited ? nullptr : openConnection(avahiError);
    if (daemonAwaited || (opened != nullptr && !serves(avahi_client_get_state(opened->client)))) {
        // A request does not wait for the daemon; the client stays and does.
        avahiError = AVAHI_ERR_NO_DAEMON;
        return nullptr;
    }
    return opened;
}

void DaemonLink::connectionLost(DaemonConnection& connection) {
    connection.failed = true;
    for (Reference* member : snapshot(connection.members)) {
        if (member->operation().daemonLost()) {
            connection.members.erase(member);
            connection.objects -= member->operation().daemonObjects();
            member->connection = nullptr;
            waiting_.insert(member);
        } else {
            member->failConnection();
        }
    }
    if (!waiting_.empty()) {
        // Not from inside the lost client's own dispatch.
        reconnectDelayMs_ = 0;
        scheduleReconnect(0);
    }
}

void DaemonLink::resumeWaiting(DaemonConnection& connection) {
    for (Reference* waiting : snapshot(waiting_)) {
        waiting_.erase(waiting);
        Operation& operation = waiting->operation();
        connection.members.insert(waiting);
        connection.objects += operation.daemonObjects();
        waiting->connection = &connection;
        if (operation.resume(DaemonContext{connection.client, loop_->api(), waiting}) != AVAHI_OK) {
            waiting->failConnection();  // after the error reply the operation posted
        }
    }
}

void DaemonLink::reconnect() {
    dropFailedIdleConnections();
    if (waiting_.empty()) {
        return;
    }
    for (const auto& connection : connections_) {
        if (!connection->failed) {
            // It serves, or waits for the daemon and resumes them when it runs.
            if (avahi_client_get_state(connection->client) == AVAHI_CLIENT_S_RUNNING) {
                resumeWaiting(*connection);
            }
            return;
        }
    }
    int avahiError = AVAHI_OK;
    if (openConnection(avahiError) != nullptr) {
        reconnectDelayMs_ = 0;
        return;
    }
    // No bus yet: nothing would tell when it is back, so try again later.
    reconnectDelayMs_ = std::clamp(reconnectDelayMs_ * 2, kFirstRetryMs, kLongestRetryMs);
    scheduleReconnect(reconnectDelayMs_);
}

void DaemonLink::scheduleReconnect(int delayMs) {
    timeval due;
    avahi_elapse_time(&due, static_cast<unsigned>(delayMs), 0);
    const AvahiPoll* api = loop_->api();
    if (reconnectTimer_ != nullptr) {
        api->timeout_update(reconnectTimer_, &due);
    } else {
        reconnectTimer_ = api->timeout_new(api, &due, &DaemonLink::onReconnectDue, this);
    }
}

void DaemonLink::onReconnectDue(AvahiTimeout* timeout, void* userdata) {
    withoutThrowing([&] {
        auto* link = static_cast<DaemonLink*>(userdata);
        link->loop_->api()->timeout_update(timeout, nullptr);
        link->reconnect();
    });
}

void DaemonLink::dropFailedIdleConnections() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        DaemonConnection& connection = **it;
        if (connection.failed && connection.members.empty()) {
            avahi_client_free(connection.client);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void DaemonLink::onClientState(AvahiClient*, AvahiClientState state, void* userdata) {
    withoutThrowing([&] {
        auto* connection = static_cast<DaemonConnection*>(userdata);
        if (connection->client == nullptr || connection->failed) {
            // Inside avahi_client_new, whose caller reads the state itself;
            // or a connection already given up.
            return;
        }
        if (state == AVAHI_CLIENT_FAILURE || state == AVAHI_CLIENT_CONNECTING) {
            // Runs inside the client's own dispatch: the client is freed later,
            // once its references have let go of their objects.
            connection->link->connectionLost(*connection);
            return;
        }
        for (Reference* member : connection->members) {
            member->operation().daemonStateChanged(state);
        }
        if (state == AVAHI_CLIENT_S_RUNNING) {
            connection->link->resumeWaiting(*connection);
        }
    });
}

}  // namespace Zelm::DnsSd

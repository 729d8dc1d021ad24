#include "DaemonLink.h"

#include "ErrorCodes.h"
#include "Reference.h"

#include <avahi-common/error.h>

#include <mutex>
#include <new>

namespace Zelm::DnsSd {

namespace {

// Never destroyed: references may outlive static destruction at exit.
std::mutex& sharedLinkMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::weak_ptr<DaemonLink>& sharedLink() {
    static auto* link = new std::weak_ptr<DaemonLink>;
    return *link;
}

// Connection attempts for one request before it gives up.
constexpr int kAttachAttempts = 4;

}  // namespace

std::shared_ptr<DaemonLink> DaemonLink::shared(DNSServiceErrorType& error) {
    std::lock_guard<std::mutex> lock(sharedLinkMutex());
    if (std::shared_ptr<DaemonLink> existing = sharedLink().lock()) {
        return existing;
    }
    AvahiThreadedPoll* poll = avahi_threaded_poll_new();
    if (poll == nullptr) {
        error = kDNSServiceErr_NoMemory;
        return nullptr;
    }
    if (avahi_threaded_poll_start(poll) < 0) {
        avahi_threaded_poll_free(poll);
        error = kDNSServiceErr_Unknown;
        return nullptr;
    }
    auto* created = new (std::nothrow) DaemonLink(poll);
    if (created == nullptr) {
        avahi_threaded_poll_stop(poll);
        avahi_threaded_poll_free(poll);
        error = kDNSServiceErr_NoMemory;
        return nullptr;
    }
    std::shared_ptr<DaemonLink> link(created);
    sharedLink() = link;
    return link;
}

DaemonLink::DaemonLink(AvahiThreadedPoll* poll) : poll_(poll) {}

DaemonLink::~DaemonLink() {
    // The last reference is gone, so nothing else uses the clients.
    avahi_threaded_poll_stop(poll_);
    for (const auto& connection : connections_) {
        if (connection->client != nullptr) {
            avahi_client_free(connection->client);
        }
    }
    avahi_threaded_poll_free(poll_);
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
        avahiError =
            operation.start(DaemonContext{connection->client, avahi_threaded_poll_get(poll_), &reference});
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
            // The daemon went away since the connection was made; a fresh
            // one tells whether it is back.
            connection->failed = true;
            continue;
        }
        break;
    }
    return fromAvahiError(avahiError);
}

void DaemonLink::detach(Reference& reference) {
    Lock lock(*this);
    DaemonConnection* connection = reference.connection;
    if (connection == nullptr) {
        return;
    }
    reference.operation().stop();
    connection->objects -= reference.operation().daemonObjects();
    connection->members.erase(&reference);
    reference.connection = nullptr;
    dropFailedIdleConnections();
}

DaemonConnection* DaemonLink::connectionWithRoom(int objects, int& avahiError) {
    for (const auto& connection : connections_) {
        if (!connection->failed && connection->objects + objects <= connection->capacity) {
            return connection.get();
        }
    }
    auto connection = std::make_unique<DaemonConnection>();
    connection->link = this;
    // Without AVAHI_CLIENT_NO_FAIL this fails at once when the daemon is not
    // on the bus, or when there is no bus.
    AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_IGNORE_USER_CONFIG,
                                           &DaemonLink::onClientState, connection.get(), &avahiError);
    if (client == nullptr) {
        return nullptr;
    }
    connection->client = client;
    if (avahi_client_get_state(client) == AVAHI_CLIENT_FAILURE) {
        avahiError = avahi_client_errno(client);
        avahi_client_free(client);
        return nullptr;
    }
    connections_.push_back(std::move(connection));
    return connections_.back().get();
}

void DaemonLink::dropFailedIdleConnections() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        DaemonConnection& connection = **it;
        if (connection.failed && connection.objects == 0) {
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
        if (state == AVAHI_CLIENT_FAILURE) {
            // Runs inside the client's own dispatch: the client is freed later,
            // once its references have let go of their objects.
            connection->failed = true;
            for (Reference* member : connection->members) {
                member->failConnection();
            }
            return;
        }
        for (Reference* member : connection->members) {
            member->operation().daemonStateChanged(state);
        }
    });
}

}  // namespace Zelm::DnsSd

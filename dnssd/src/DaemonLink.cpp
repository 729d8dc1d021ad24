#include "DaemonLink.h"

#include "ErrorCodes.h"
#include "Reference.h"

#include <avahi-common/error.h>
#include <avahi-common/timeval.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace Zelm::DnsSd {

namespace {

// Constant-initialised and never destroyed: references may outlive static
// destruction at exit, and an unloaded library leaves nothing on the heap.
static_assert(std::is_trivially_destructible_v<std::mutex>);
std::mutex sharedLinkMutex;
// The link that requests start on, in use or lingering; null when none.
DaemonLink* sharedLinkInstance = nullptr;  // guarded by sharedLinkMutex
// Numbers the uses of links: the end of a use that a newer one has replaced
// changes nothing.
unsigned long currentUse = 0;  // guarded by sharedLinkMutex
bool lingering = false;        // guarded by sharedLinkMutex: no reference holds the instance
// A link whose grace period ran out: its event thread has ended itself and
// only the join and the freeing are left, done by the next request or at unload.
DaemonLink* endedLink = nullptr;  // guarded by sharedLinkMutex

// How long an unused link stays. A host that runs one operation after
// another (a browse, then a resolve of what it found, then an address
// lookup) calls again within milliseconds and then reuses the event thread
// and a connection that has its match rules and the daemon's state already;
// each new link costs about a millisecond of set-up, joining one takes a
// wake-up. A second keeps a burst of calls on one link while an idle process
// still soon has no backend thread and no daemon connection.
constexpr unsigned kGraceMs = 1000;
// When the grace period ends while another thread holds the mutex.
constexpr unsigned kGraceRetryMs = 5;

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

// A lingering link's event thread must not outlive the code it runs.
__attribute__((destructor)) void endIdleLinkAtUnload() { DaemonLink::endIdleLink(); }

}  // namespace

// One stretch of time in which references hold the link; its end starts the
// grace period. Every reference holds it through the link's shared pointer.
struct DaemonLink::Use {
    Use(DaemonLink* owner, unsigned long serial) : link(owner), number(serial) {}
    ~Use() { DaemonLink::released(link, number); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    DaemonLink* const link;
    const unsigned long number;
};

std::shared_ptr<DaemonLink> DaemonLink::shared(DNSServiceErrorType& error) {
    std::lock_guard<std::mutex> lock(sharedLinkMutex);
    if (sharedLinkInstance != nullptr) {
        if (std::shared_ptr<DaemonLink> holder = sharedLinkInstance->holders_.lock()) {
            return holder;
        }
        // Lingering, or its last holder is just letting go: a new use keeps it.
        return beginUse(*sharedLinkInstance);
    }
    // Its thread has ended already, so this only joins it.
    delete std::exchange(endedLink, nullptr);
    std::unique_ptr<EventLoop> loop = EventLoop::start();
    if (!loop) {
        error = kDNSServiceErr_Unknown;
        return nullptr;
    }
    std::unique_ptr<DaemonLink> created(new (std::nothrow) DaemonLink(std::move(loop)));
    if (!created) {
        error = kDNSServiceErr_NoMemory;
        return nullptr;
    }
    std::shared_ptr<DaemonLink> holder = beginUse(*created);
    sharedLinkInstance = created.release();
    return holder;
}

std::shared_ptr<DaemonLink> DaemonLink::beginUse(DaemonLink& link) {
    auto use = std::make_shared<Use>(&link, currentUse + 1);
    ++currentUse;
    lingering = false;
    if (link.graceTimer_ != nullptr) {
        Lock loopLock(link);
        link.loop_->api()->timeout_update(link.graceTimer_, nullptr);
    }
    std::shared_ptr<DaemonLink> holder(use, &link);
    link.holders_ = holder;
    return holder;
}

void DaemonLink::released(DaemonLink* link, unsigned long use) {
    std::unique_lock<std::mutex> lock(sharedLinkMutex);
    if (use != currentUse) {
        return;  // a newer use holds the link
    }
    {
        // A link without a working connection has nothing worth keeping.
        Lock loopLock(*link);
        if (link->servesNow()) {
            timeval due;
            avahi_elapse_time(&due, kGraceMs, 0);
            const AvahiPoll* api = link->loop_->api();
            if (link->graceTimer_ != nullptr) {
                api->timeout_update(link->graceTimer_, &due);
            } else {
                link->graceTimer_ = api->timeout_new(api, &due, &DaemonLink::onGraceOver, link);
            }
            if (link->graceTimer_ != nullptr) {
                lingering = true;
                return;
            }
        }
    }
    sharedLinkInstance = nullptr;
    lock.unlock();
    delete link;
}

void DaemonLink::onGraceOver(AvahiTimeout* timeout, void* userdata) {
    auto* link = static_cast<DaemonLink*>(userdata);
    const AvahiPoll* api = link->loop_->api();
    // A thread holding the mutex may be waiting for this loop's lock.
    std::unique_lock<std::mutex> lock(sharedLinkMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        timeval due;
        avahi_elapse_time(&due, kGraceRetryMs, 0);
        api->timeout_update(timeout, &due);
        return;
    }
    api->timeout_update(timeout, nullptr);
    if (sharedLinkInstance != link || !lingering) {
        return;
    }
    sharedLinkInstance = nullptr;
    lingering = false;
    endedLink = link;
    lock.unlock();
    // The thread ends with no daemon connection and no descriptor left;
    // whoever frees the link joins it first.
    link->closeConnections();
    link->reconnectTimer_ = nullptr;  // freed with the poll
    link->graceTimer_ = nullptr;
    link->freeTimer_ = nullptr;
    link->loop_->endFromWithin();
}

void DaemonLink::endIdleLink() {
    DaemonLink* idle = nullptr;
    DaemonLink* ended = nullptr;
    {
        std::lock_guard<std::mutex> lock(sharedLinkMutex);
        if (lingering) {
            idle = std::exchange(sharedLinkInstance, nullptr);
            lingering = false;
        }
        ended = std::exchange(endedLink, nullptr);
    }
    delete idle;
    delete ended;
}

DaemonLink::DaemonLink(std::unique_ptr<EventLoop> loop) : loop_(std::move(loop)) {}

DaemonLink::~DaemonLink() {
    // No reference holds the link and it is no longer shared, so nothing
    // else uses the clients.
    loop_->stop();
    for (AvahiTimeout* timer : {reconnectTimer_, graceTimer_, freeTimer_}) {
        if (timer != nullptr) {
            loop_->api()->timeout_free(timer);
        }
    }
    closeConnections();
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
        connection->members.erase(&reference);
        reference.connection = nullptr;
        if (!freeLater(reference, *connection)) {
            reference.operation().stop();
            connection->objects -= reference.operation().daemonObjects();
        }
    } else if (waiting_.erase(&reference) == 1) {
        reference.operation().stop();
    }
    dropFailedIdleConnections();
}

bool DaemonLink::freeLater(Reference& reference, DaemonConnection& connection) {
    // A registration stays as it is: DNSServiceUpdateRecord may still reach
    // it through the reference's link on another thread.
    if (reference.operation().asRegistration() != nullptr) {
        return false;
    }
    const AvahiPoll* api = loop_->api();
    timeval now;
    avahi_elapse_time(&now, 0, 0);
    if (freeTimer_ != nullptr) {
        api->timeout_update(freeTimer_, &now);
    } else {
        freeTimer_ = api->timeout_new(api, &now, &DaemonLink::onFreeDue, this);
    }
    if (freeTimer_ == nullptr) {
        return false;
    }
    freeing_.reserve(freeing_.size() + 1);  // may throw: nothing is changed yet
    reference.retain();
    freeing_.emplace_back(&reference, &connection);
    // Dropped on the event thread, the last hold could not end the link there.
    reference.link.reset();
    return true;
}

void DaemonLink::finishFrees() {
    for (const auto& [reference, connection] : std::exchange(freeing_, {})) {
        reference->operation().stop();
        connection->objects -= reference->operation().daemonObjects();
        reference->release();
    }
}

void DaemonLink::onFreeDue(AvahiTimeout* timeout, void* userdata) {
    auto* link = static_cast<DaemonLink*>(userdata);
    link->loop_->api()->timeout_update(timeout, nullptr);
    link->finishFrees();
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
    const bool anyToDrop = std::any_of(connections_.begin(), connections_.end(), [](const auto& connection) {
        return connection->failed && connection->members.empty();
    });
    if (!anyToDrop) {
        return;
    }
    finishFrees();  // their objects may live on a connection about to go
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

bool DaemonLink::servesNow() const {
    return std::any_of(connections_.begin(), connections_.end(), [](const auto& connection) {
        return !connection->failed && serves(avahi_client_get_state(connection->client));
    });
}

void DaemonLink::closeConnections() {
    finishFrees();
    for (const auto& connection : connections_) {
        avahi_client_free(connection->client);
    }
    connections_.clear();
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

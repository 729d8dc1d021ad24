#pragma once

// One DNS-SD reference: the caller's socket, the queue of replies waiting for
// DNSServiceProcessResult, and the operation behind it.

#include "link/ProcessGeneration.h"

#include "RankedMutex.h"
#include "operations/Operation.h"

#include <dns_sd.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

namespace Zelm::DnsSd {

class BusConnection;
class DaemonLink;
class Waiter;

class Reference : public ReplySink {
public:
    explicit Reference(std::unique_ptr<Operation> operation);
    virtual ~Reference();
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    // Makes the socket pair; false when the process is out of descriptors.
    bool openSockets();

    // The caller's end: readable while a reply waits.
    int callerSocket() const { return callerFd_; }

    Operation& operation() { return *operation_; }

    // The link the operation runs on; the reference holds it until it ends.
    const std::shared_ptr<DaemonLink>& link() const { return link_; }
    void bindLink(std::shared_ptr<DaemonLink> link) { link_ = std::move(link); }

    // The connection that carries the operation's daemon objects, while it
    // does; kept by the connection pool under the event loop's lock.
    BusConnection* connection() const { return connection_; }
    void setConnection(BusConnection* connection) { connection_ = connection; }

    // The start's answer while DaemonLink::attach waits for it.
    Waiter* startWaiter() const { return startWaiter_; }
    void setStartWaiter(Waiter* waiter) { startWaiter_ = waiter; }

    // Made in this copy of the process, not inherited from a parent by fork().
    bool madeHere() const { return generation_ == processGeneration(); }

    // Queues a reply. Event thread; never blocks.
    void post(Delivery delivery, bool replacesUnread = false) override;

    // The daemon connection is gone: the replies already queued (the
    // operation's error reply among them) are still delivered, after them
    // DNSServiceProcessResult returns kDNSServiceErr_ServiceNotRunning.
    // Event thread.
    void failConnection() { fail(kDNSServiceErr_ServiceNotRunning); }

    // A reply could not be made for lack of memory: after the queued ones,
    // DNSServiceProcessResult returns kDNSServiceErr_NoMemory.
    void lose() override { fail(kDNSServiceErr_NoMemory); }

    // No further replies; wakes a DNSServiceProcessResult blocked on another thread.
    void close();

    // A child's end of a reference its parent made: its descriptors are
    // closed, the rest is left as the parent's copy had it.
    void abandon();

    // One DNSServiceProcessResult: waits for a reply and delivers it on this
    // thread with no lock held. The caller holds a retain.
    DNSServiceErrorType processOne(DNSServiceRef handle);

    void retain() { references_.fetch_add(1, std::memory_order_relaxed); }
    // Drops one hold; the last one deletes the reference.
    void release();

private:
    struct Queued {
        Delivery delivery;
        bool replaceable;
    };

    // One byte on the backend end makes the caller's end readable. At most
    // one byte is ever in flight: it stands for "the queue is not empty".
    void signalLocked();
    void shutDownBackendLocked();
    void fail(DNSServiceErrorType code);

    std::atomic<int> references_{1};
    std::unique_ptr<Operation> operation_;
    const unsigned long generation_;
    int callerFd_ = -1;
    int backendFd_ = -1;
    std::shared_ptr<DaemonLink> link_;
    BusConnection* connection_ = nullptr;
    Waiter* startWaiter_ = nullptr;

    RankedMutex mutex_{LockRank::kReplyQueue};  // guards the members below
    std::deque<Queued> queue_;
    DNSServiceErrorType failure_ = kDNSServiceErr_NoError;  // why no more replies come
    bool closed_ = false;
};

}  // namespace Zelm::DnsSd

// The opaque type of dns_sd.h.
struct _DNSServiceRef_t final : Zelm::DnsSd::Reference {
    using Reference::Reference;
};

#pragma once

// One DNS-SD reference: the caller's socket, the queue of replies waiting for
// DNSServiceProcessResult, and the operation behind it.

#include "Operation.h"

#include <dns_sd.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

namespace Zelm::DnsSd {

class DaemonLink;
struct DaemonConnection;

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

    // Where the operation runs; set by DaemonLink::attach.
    std::shared_ptr<DaemonLink> link;
    DaemonConnection* connection = nullptr;

    // Queues a reply. Event thread; never blocks.
    void post(Delivery delivery) override;

    // The daemon connection is gone: the replies already queued (the
    // operation's error reply among them) are still delivered, after them
    // DNSServiceProcessResult returns kDNSServiceErr_ServiceNotRunning.
    // Event thread.
    void failConnection();

    // No further replies; wakes a DNSServiceProcessResult blocked on another thread.
    void close();

    // One DNSServiceProcessResult: waits for a reply and delivers it on this
    // thread with no lock held. The caller holds a retain.
    DNSServiceErrorType processOne(DNSServiceRef handle);

    void retain() { references_.fetch_add(1, std::memory_order_relaxed); }
    // Drops one hold; the last one deletes the reference.
    void release();

private:
    // One byte on the backend end makes the caller's end readable. At most
    // one byte is ever in flight: it stands for "the queue is not empty".
    void signalLocked();
    void shutDownBackendLocked();

    std::atomic<int> references_{1};
    std::unique_ptr<Operation> operation_;
    int callerFd_ = -1;
    int backendFd_ = -1;

    std::mutex mutex_;  // guards the members below; a leaf lock
    std::deque<Delivery> queue_;
    bool failed_ = false;
    bool closed_ = false;
};

}  // namespace Zelm::DnsSd

// The opaque type of dns_sd.h.
struct _DNSServiceRef_t final : Zelm::DnsSd::Reference {
    using Reference::Reference;
};

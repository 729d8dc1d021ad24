#include "api/Reference.h"

#include "link/DaemonLink.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace Zelm::DnsSd {

Reference::Reference(std::unique_ptr<Operation> operation)
    : operation_(std::move(operation)), generation_(processGeneration()) {}

Reference::~Reference() {
    if (callerFd_ >= 0) {
        ::close(callerFd_);
    }
    if (backendFd_ >= 0) {
        ::close(backendFd_);
    }
    // `operation_` has freed its daemon objects in DaemonLink::detach; the
    // link itself may end here, with its event thread.
}

bool Reference::openSockets() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return false;
    }
    callerFd_ = fds[0];
    backendFd_ = fds[1];
    return true;
}

void Reference::post(Delivery delivery, bool replacesUnread) {
    std::lock_guard<RankedMutex> lock(mutex_);
    if (failure_ != kDNSServiceErr_NoError || closed_) {
        return;
    }
    if (replacesUnread && !queue_.empty() && queue_.back().replaceable) {
        queue_.back().delivery = std::move(delivery);
        return;
    }
    try {
        queue_.push_back(Queued{std::move(delivery), replacesUnread});
    } catch (...) {
        failure_ = kDNSServiceErr_NoMemory;
        shutDownBackendLocked();
        return;
    }
    if (queue_.size() == 1) {
        signalLocked();
    }
}

void Reference::fail(DNSServiceErrorType code) {
    std::lock_guard<RankedMutex> lock(mutex_);
    if (failure_ == kDNSServiceErr_NoError) {
        failure_ = code;
    }
    shutDownBackendLocked();
}

void Reference::close() {
    std::lock_guard<RankedMutex> lock(mutex_);
    closed_ = true;
    queue_.clear();
    shutDownBackendLocked();
}

void Reference::abandon() {
    // The parent's copy may be locked by a thread that does not exist here:
    // nothing but the descriptors is touched.
    for (int* fd : {&callerFd_, &backendFd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void Reference::signalLocked() {
    const char byte = 0;
    // Whatever the caller did to its end, this neither blocks nor raises SIGPIPE.
    (void)::send(backendFd_, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void Reference::shutDownBackendLocked() {
    // The caller's end then reports a hang-up to poll(), which wakes a
    // blocked DNSServiceProcessResult and any select loop of the caller.
    (void)::shutdown(backendFd_, SHUT_RDWR);
}

DNSServiceErrorType Reference::processOne(DNSServiceRef handle) {
    while (true) {
        pollfd watched{callerFd_, POLLIN | POLLRDHUP, 0};
        const int ready = ::poll(&watched, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kDNSServiceErr_Unknown;
        }
        const bool hungUp = (watched.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;

        Delivery delivery;
        bool moreComing = false;
        {
            std::lock_guard<RankedMutex> lock(mutex_);
            // A lost connection hangs the socket up too, but what was queued
            // before it (the error reply) still goes out; a hang-up of the
            // caller's own end or a deallocation ends the replies at once.
            const bool failed = failure_ != kDNSServiceErr_NoError;
            const bool deliver = !closed_ && !queue_.empty() && (failed || !hungUp);
            if (!deliver && (hungUp || failed || closed_)) {
                return failed && !closed_ ? failure_ : kDNSServiceErr_ServiceNotRunning;
            }
            char byte;
            if (!deliver) {
                // A byte without a reply (the caller wrote to its own socket's
                // peer, or a reply was dropped): swallow it and wait on.
                while (::recv(callerFd_, &byte, 1, MSG_DONTWAIT) > 0) {
                }
                continue;
            }
            (void)::recv(callerFd_, &byte, 1, MSG_DONTWAIT);
            delivery = std::move(queue_.front().delivery);
            queue_.pop_front();
            moreComing = !queue_.empty();
            if (moreComing) {
                signalLocked();
            }
        }
        delivery(handle, moreComing ? kDNSServiceFlagsMoreComing : 0);
        return kDNSServiceErr_NoError;
    }
}

void Reference::release() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

}  // namespace Zelm::DnsSd

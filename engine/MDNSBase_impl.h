#pragma once

#include <dns_sd.h>
#include <zelm/Semaphore.h>
#include <zelm/framework/Component_Base.h>
#include <zelm/framework/PassiveInterface.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace Zelm::MDNS::Apple {

// Common base of the four mDNS components. It owns the component's one open
// DNS-SD request, runs the reply loop (DNSServiceProcessResult, one result per
// pass) on a service thread for a bounded time, and tears the request down.
//
// Tear-down and the reply loop are ordered by a small internal lock so that a
// reference is never deallocated while another thread is inside
// DNSServiceProcessResult on it: a tear-down from a thread other than the one
// running the loop shuts the socket down (which wakes that thread), waits for
// the pass in progress to return, and only then deallocates. A reply function
// may still tear its own request down from inside its callback.
class MDNSBase_impl : public Zelm::Component_Base, public Zelm::LifeCycle::PassiveInterface {
public:
    MDNSBase_impl();
    MDNSBase_impl(const MDNSBase_impl&) = delete;
    MDNSBase_impl& operator=(const MDNSBase_impl&) = delete;
    virtual ~MDNSBase_impl();

    void startLifeCycle() override;
    void endLifeCycle() override;

    // Runs the reply loop for the request just started. With a time-out, the
    // loop runs on a service thread while the caller waits on `semaphore`;
    // returns whether the semaphore was signalled. With 0, the loop runs on the
    // calling thread until it ends by itself, and the result is true.
    virtual bool performService(unsigned int timeoutMs);
    // Body of the reply loop; always returns true.
    virtual bool doIt();
    // Tears the open request down: socket shutdown, then deallocation.
    virtual void cleanup();
    virtual bool isInitialized() const;
    // One pass of the reply loop; false ends the loop.
    virtual bool callServiceFunction();
    // Deallocates the request, if any, and clears `initialized`.
    virtual void releaseSDRef();

protected:
    // True while a request is open and no tear-down of it has begun. Safe to
    // call from any thread, with or without `mutex` held.
    bool isOperationOpen() const;
    // Runs one DNSServiceProcessResult on the open request. Returns
    // kDNSServiceErr_BadReference, without a DNS-SD call, when no request is
    // open or its tear-down has begun.
    DNSServiceErrorType processOneResult();

    Zelm::Semaphore semaphore;
    std::atomic<bool> initialized;
    DNSServiceRef sdRef;
    mutable std::mutex mutex;
    std::atomic<DNSServiceErrorType> lastError;

private:
    // Shuts the request's socket down, so that a thread blocked on it wakes.
    // Returns false when no request is open. Requires refMutex_.
    bool shutDownSocketLocked();
    bool claimForPass(DNSServiceRef& ref);
    void endPass();

    // Guards sdRef against tear-down while a pass uses it. A leaf lock: taken
    // after `mutex` where both are needed, and never held across a callback.
    mutable std::mutex refMutex_;
    std::condition_variable passEnded_;
    bool passActive_ = false;
    std::thread::id passThread_;
    bool teardownPending_ = false;
};

}  // namespace Zelm::MDNS::Apple

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
// One operation at a time: an entry point first claims the component
// (OperationClaim) and holds the claim until it returns, so that a second
// caller can neither start a request into the same reference nor touch the
// first caller's results. A component is busy while it is claimed or its
// request is open, which includes the whole of a tear-down.
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
    // calling thread until it ends by itself, and the result is true. If the
    // service thread cannot be started, the request is torn down, `lastError`
    // says why, and the result is false.
    virtual bool performService(unsigned int timeoutMs);
    // Body of the reply loop; always returns true.
    virtual bool doIt();
    // Tears the open request down: socket shutdown, then deallocation.
    virtual void cleanup();
    virtual bool isInitialized() const;
    // One pass of the reply loop; false ends the loop.
    virtual bool callServiceFunction();
    // Deallocates the request, if any, and clears `initialized`. Unlike
    // cleanup(), it does not wait for a pass on another thread.
    virtual void releaseSDRef();

protected:
    // The right to run one operation on this component, held by an entry
    // point from its busy test until it returns.
    class OperationClaim {
    public:
        // RefuseIfBusy fails at once on a busy component; WaitUntilFree waits
        // for the operation in progress to end.
        enum class Mode { RefuseIfBusy, WaitUntilFree };
        OperationClaim(MDNSBase_impl& base, Mode mode);
        ~OperationClaim();
        OperationClaim(const OperationClaim&) = delete;
        OperationClaim& operator=(const OperationClaim&) = delete;
        explicit operator bool() const { return held_; }

    private:
        MDNSBase_impl& base_;
        bool held_;
    };

    // Makes a reference that the claim holder's start call produced the open
    // request. A start call writes into a reference of its own, never into
    // `sdRef` directly: `sdRef` changes only under the internal lock.
    template <typename StartCall>
    DNSServiceErrorType startRequest(StartCall&& start) {
        DNSServiceRef ref = nullptr;
        const DNSServiceErrorType result = start(&ref);
        if (result == kDNSServiceErr_NoError) {
            adoptRequest(ref);
        }
        return result;
    }
    // True while a request is open, including during its tear-down. Safe to
    // call from any thread, with or without `mutex` held.
    bool isOperationOpen() const;
    // The open request, or null. Only meaningful to the claim holder, or to a
    // thread that the claim holder joins before the request is torn down.
    DNSServiceRef openRequest() const;
    // Runs one DNSServiceProcessResult on the open request. Returns
    // kDNSServiceErr_BadReference, without a DNS-SD call, when no request is
    // open or its tear-down has begun.
    DNSServiceErrorType processOneResult();
    // The last performService() could not start its service thread.
    bool serviceThreadFailed() const { return serviceThreadFailed_; }

    Zelm::Semaphore semaphore;
    std::atomic<bool> initialized;
    DNSServiceRef sdRef;
    mutable std::mutex mutex;
    std::atomic<DNSServiceErrorType> lastError;

private:
    class Pass;

    void adoptRequest(DNSServiceRef ref);
    // Shuts the open request's socket down, so that a thread blocked on it
    // wakes, and lets no new pass begin. Returns false when none is open.
    bool stopPasses();
    bool stopPassesLocked();
    // Deallocates the open request. Requires refMutex_.
    void releaseLocked();

    // Guards sdRef, the claim and the pass bookkeeping. A leaf lock: taken
    // after `mutex` where both are needed, and never held across a callback.
    mutable std::mutex refMutex_;
    // Signalled whenever a pass ends, a request is released or a claim ends.
    std::condition_variable refChanged_;
    bool claimed_ = false;
    // Counts the requests adopted, so that a tear-down tells its own request
    // from a later one at the same address.
    unsigned long requestNumber_ = 0;
    bool passActive_ = false;
    std::thread::id passThread_;
    bool passesStopped_ = false;
    // A tear-down is inside the virtual releaseSDRef().
    bool releasing_ = false;
    bool serviceThreadFailed_ = false;
};

}  // namespace Zelm::MDNS::Apple

#include "MDNSBase_impl.h"

#include "ErrorLine.h"
#include "SmallStackThread.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>

namespace Zelm::MDNS::Apple {

namespace {

// The service thread's stack. The library's own deepest use is a reply
// delivered inside DNSServiceProcessResult, the error line's stream included:
// at most 14.4 KiB, measured under ASan (whose frames are larger than a plain
// build's) by running every service thread of the unit, sandbox and
// end-to-end suites, and of browse, resolve and lookups against the sandbox's
// daemon, on a stack painted with a pattern and reading the high-water mark
// after the join. The host's browse callback runs on this thread too, hence
// the wide margin.
constexpr std::size_t kServiceThreadStackBytes = 256 * 1024;

DNSServiceErrorType threadStartFailure(int error) {
    // Only a shortage of memory or of threads stops a thread from starting.
    return error == EAGAIN || error == ENOMEM ? kDNSServiceErr_NoMemory : kDNSServiceErr_Unknown;
}

}  // namespace

// One pass of the reply loop: marks the open request as in use by this
// thread for as long as the object lives, on every way out.
class MDNSBase_impl::Pass {
public:
    explicit Pass(MDNSBase_impl& base) : base_(base) {
        std::lock_guard<std::mutex> lock(base_.refMutex_);
        if (base_.sdRef != nullptr && !base_.passesStopped_) {
            ref_ = base_.sdRef;
            base_.passActive_ = true;
            base_.passThread_ = std::this_thread::get_id();
        }
    }
    ~Pass() {
        if (ref_ == nullptr) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(base_.refMutex_);
            base_.passActive_ = false;
            base_.passThread_ = std::thread::id();
        }
        base_.refChanged_.notify_all();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    // Null when no pass may run.
    DNSServiceRef ref() const { return ref_; }

private:
    MDNSBase_impl& base_;
    DNSServiceRef ref_ = nullptr;
};

MDNSBase_impl::OperationClaim::OperationClaim(MDNSBase_impl& base, Mode mode) : base_(base), held_(false) {
    std::unique_lock<std::mutex> lock(base_.refMutex_);
    auto isFree = [this] { return !base_.claimed_ && !base_.releasing_ && base_.sdRef == nullptr; };
    if (mode == Mode::WaitUntilFree) {
        base_.refChanged_.wait(lock, isFree);
    }
    if (isFree()) {
        base_.claimed_ = true;
        held_ = true;
    }
}

MDNSBase_impl::OperationClaim::~OperationClaim() {
    if (!held_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(base_.refMutex_);
        base_.claimed_ = false;
    }
    base_.refChanged_.notify_all();
}

MDNSBase_impl::MDNSBase_impl()
    : semaphore(0), initialized(false), sdRef(nullptr), lastError(kDNSServiceErr_Unknown) {}

MDNSBase_impl::~MDNSBase_impl() {
    // Qualified calls: a subclass's overrides are gone by now.
    MDNSBase_impl::cleanup();
}

void MDNSBase_impl::startLifeCycle() {}

void MDNSBase_impl::endLifeCycle() { cleanup(); }

bool MDNSBase_impl::performService(unsigned int timeoutMs) {
    if (timeoutMs == 0) {
        doIt();
        cleanup();
        return true;
    }

    {
        std::lock_guard<std::mutex> lock(mutex);
        semaphore.reset();
    }
    SmallStackThread serviceThread;
    const int startError = serviceThread.start([this] { doIt(); }, kServiceThreadStackBytes);
    serviceThreadFailed_ = startError != 0;
    if (startError != 0) {
        // No thread, no operation: the component goes back to idle.
        {
            std::lock_guard<std::mutex> lock(mutex);
            cleanup();
        }
        lastError = threadStartFailure(startError);
        Util::writeErrorLine(lastError);
        return false;
    }

    // Whatever ends the wait, an exception included, the socket is shut down
    // before the join, so that the service thread leaves
    // DNSServiceProcessResult; only then is the reference deallocated.
    struct StopJoinAndTearDown {
        MDNSBase_impl& base;
        SmallStackThread& thread;
        ~StopJoinAndTearDown() {
            base.stopPasses();
            thread.join();
            std::lock_guard<std::mutex> lock(base.mutex);
            base.cleanup();
        }
    } tearDown{*this, serviceThread};

    // Longer time-outs than an int holds wait as long as an int allows.
    const int waitMs = timeoutMs > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
    return semaphore.wait_for_milliseconds(waitMs);
}

bool MDNSBase_impl::doIt() {
    try {
        while (callServiceFunction()) {
        }
    } catch (...) {
        // A failure inside the loop ends it; the caller reads lastError.
    }
    return true;
}

bool MDNSBase_impl::callServiceFunction() {
    if (lastError != kDNSServiceErr_NoError) {
        return false;
    }
    initialized = true;
    DNSServiceErrorType result = kDNSServiceErr_NoError;
    {
        Pass pass(*this);
        if (pass.ref() == nullptr) {
            return false;
        }
        result = DNSServiceProcessResult(pass.ref());
    }
    lastError = result;
    if (result == kDNSServiceErr_NoError) {
        return true;
    }
    Util::writeErrorLine(result);
    return false;
}

DNSServiceErrorType MDNSBase_impl::processOneResult() {
    Pass pass(*this);
    if (pass.ref() == nullptr) {
        return kDNSServiceErr_BadReference;
    }
    return DNSServiceProcessResult(pass.ref());
}

void MDNSBase_impl::adoptRequest(DNSServiceRef ref) {
    std::lock_guard<std::mutex> lock(refMutex_);
    sdRef = ref;
    ++requestNumber_;
    passesStopped_ = false;
}

bool MDNSBase_impl::isOperationOpen() const {
    std::lock_guard<std::mutex> lock(refMutex_);
    return sdRef != nullptr;
}

DNSServiceRef MDNSBase_impl::openRequest() const {
    std::lock_guard<std::mutex> lock(refMutex_);
    return sdRef;
}

bool MDNSBase_impl::stopPasses() {
    std::lock_guard<std::mutex> lock(refMutex_);
    return stopPassesLocked();
}

bool MDNSBase_impl::stopPassesLocked() {
    if (sdRef == nullptr) {
        return false;
    }
    passesStopped_ = true;
    const int fd = DNSServiceRefSockFD(sdRef);
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);  // failures change nothing: the reference goes anyway
    }
    return true;
}

void MDNSBase_impl::cleanup() {
    {
        std::unique_lock<std::mutex> lock(refMutex_);
        if (!stopPassesLocked()) {
            return;
        }
        const auto request = requestNumber_;
        // A pass on another thread still uses the reference: the shutdown has
        // woken it, so wait for it to return. A pass on this thread is the
        // reply function tearing its own request down, which DNS-SD allows. A
        // concurrent tear-down may finish first; the request is then gone, and
        // a request opened since then is not this call's to release.
        auto ownRequestGone = [this, request] { return sdRef == nullptr || requestNumber_ != request; };
        refChanged_.wait(lock, [this, &ownRequestGone] {
            return ownRequestGone() ||
                   (!releasing_ && (!passActive_ || passThread_ == std::this_thread::get_id()));
        });
        if (ownRequestGone()) {
            return;
        }
        releasing_ = true;
    }
    // The release is virtual (a subclass may extend it), so it runs without
    // the internal lock; `releasing_` keeps other tear-downs and new claims
    // out until it is done.
    struct EndRelease {
        MDNSBase_impl& base;
        ~EndRelease() {
            {
                std::lock_guard<std::mutex> lock(base.refMutex_);
                base.releasing_ = false;
            }
            base.refChanged_.notify_all();
        }
    } endRelease{*this};
    releaseSDRef();
}

void MDNSBase_impl::releaseSDRef() {
    std::lock_guard<std::mutex> lock(refMutex_);
    releaseLocked();
}

void MDNSBase_impl::releaseLocked() {
    if (sdRef != nullptr) {
        DNSServiceRefDeallocate(sdRef);
        sdRef = nullptr;
    }
    passesStopped_ = false;
    initialized = false;
    refChanged_.notify_all();
}

bool MDNSBase_impl::isInitialized() const {
    std::lock_guard<std::mutex> lock(mutex);
    return initialized;
}

}  // namespace Zelm::MDNS::Apple

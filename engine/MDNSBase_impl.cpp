#include "engine/MDNSBase_impl.h"

#include "engine/ErrorLine.h"

#include <sys/socket.h>

#include <climits>

namespace Zelm::MDNS::Apple {

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
    std::thread serviceThread([this] { doIt(); });

    // Longer time-outs than an int holds wait as long as an int allows.
    const int waitMs = timeoutMs > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
    const bool signalled = semaphore.wait_for_milliseconds(waitMs);

    // Wake the service thread first and let it leave DNSServiceProcessResult;
    // only then is the reference deallocated.
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::lock_guard<std::mutex> refLock(refMutex_);
        if (shutDownSocketLocked()) {
            teardownPending_ = true;
        }
    }
    serviceThread.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        cleanup();
    }
    return signalled;
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
    DNSServiceRef ref = nullptr;
    if (!claimForPass(ref)) {
        return false;
    }
    const DNSServiceErrorType result = DNSServiceProcessResult(ref);
    endPass();
    lastError = result;
    if (result == kDNSServiceErr_NoError) {
        return true;
    }
    Util::writeErrorLine(result);
    return false;
}

DNSServiceErrorType MDNSBase_impl::processOneResult() {
    DNSServiceRef ref = nullptr;
    if (!claimForPass(ref)) {
        return kDNSServiceErr_BadReference;
    }
    const DNSServiceErrorType result = DNSServiceProcessResult(ref);
    endPass();
    return result;
}

bool MDNSBase_impl::claimForPass(DNSServiceRef& ref) {
    std::lock_guard<std::mutex> lock(refMutex_);
    if (sdRef == nullptr || teardownPending_) {
        return false;
    }
    ref = sdRef;
    passActive_ = true;
    passThread_ = std::this_thread::get_id();
    return true;
}

void MDNSBase_impl::endPass() {
    {
        std::lock_guard<std::mutex> lock(refMutex_);
        passActive_ = false;
        passThread_ = std::thread::id();
    }
    passEnded_.notify_all();
}

bool MDNSBase_impl::isOperationOpen() const {
    std::lock_guard<std::mutex> lock(refMutex_);
    return sdRef != nullptr && !teardownPending_;
}

bool MDNSBase_impl::shutDownSocketLocked() {
    if (sdRef == nullptr) {
        return false;
    }
    const int fd = DNSServiceRefSockFD(sdRef);
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);  // failures change nothing: the reference goes anyway
    }
    return true;
}

void MDNSBase_impl::cleanup() {
    {
        std::unique_lock<std::mutex> lock(refMutex_);
        if (!shutDownSocketLocked()) {
            return;
        }
        teardownPending_ = true;
        // A pass on another thread still uses the reference: the shutdown has
        // woken it, so wait for it to return. A pass on this thread is the
        // reply function tearing its own request down, which DNS-SD allows.
        passEnded_.wait(lock, [this] { return !passActive_ || passThread_ == std::this_thread::get_id(); });
    }
    releaseSDRef();
}

void MDNSBase_impl::releaseSDRef() {
    {
        std::lock_guard<std::mutex> lock(refMutex_);
        if (sdRef != nullptr) {
            DNSServiceRefDeallocate(sdRef);
            sdRef = nullptr;
        }
        teardownPending_ = false;
    }
    initialized = false;
}

bool MDNSBase_impl::isInitialized() const {
    std::lock_guard<std::mutex> lock(mutex);
    return initialized;
}

}  // namespace Zelm::MDNS::Apple

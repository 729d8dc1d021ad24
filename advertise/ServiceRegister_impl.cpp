#include "ServiceRegister_impl.h"

#include "ErrorLine.h"
#include "Outcome.h"
#include "TxtRecordBuffer.h"

#include <arpa/inet.h>
#include <zelm/mdns/MDNSError.h>

#include <cstddef>
#include <cstdint>
#include <locale>
#include <new>
#include <sstream>

namespace Zelm::MDNS::Apple {

namespace {

constexpr int kKeepAlivePeriodMs = 110000;
// Handed to DNSServiceUpdateRecord as is (DNS-SD counts it in seconds).
constexpr uint32_t kKeepAliveTtl = 220000;
// The keep-alive thread's stack. Its deepest use is DNSServiceUpdateRecord:
// at most 10.8 KiB, measured under ASan (whose frames are larger than a plain
// build's) with a 50 ms period against the sandbox's daemon and in the unit
// suites, on a stack painted with a pattern and reading the high-water mark
// after the join. No host code runs on it; the margin is for a DNS-SD
// library that does more work in the calling thread.
constexpr std::size_t kKeepAliveStackBytes = 64 * 1024;
constexpr const char* kStartFailurePrefix = "ServiceRegister_impl: DNSServiceRegister err = ";

}  // namespace

ServiceRegister_impl::ServiceRegister_impl(bool waitForRegistration)
    : ServiceRegister_impl(waitForRegistration, kKeepAlivePeriodMs) {}

ServiceRegister_impl::ServiceRegister_impl(bool waitForRegistration, int keepAlivePeriodMs)
    : waitForRegistration(waitForRegistration),
      keepAliveIntervalMs(keepAlivePeriodMs),
      keepAliveSemaphore(0),
      keepAlivePeriodMs_(keepAlivePeriodMs) {}

ServiceRegister_impl::~ServiceRegister_impl() {
    // The keep-alive thread uses the reference, so it ends here, before the
    // operation base's destructor deallocates that reference.
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    stopKeepAliveThread();
}

void ServiceRegister_impl::cleanup() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    tearDownLocked();
}

void ServiceRegister_impl::tearDownLocked() {
    stopKeepAliveThread();
    MDNSBase_impl::cleanup();
}

bool ServiceRegister_impl::isInitialized() const { return MDNSBase_impl::isInitialized(); }

void ServiceRegister_impl::releaseSDRef() { MDNSBase_impl::releaseSDRef(); }

Zelm::Error ServiceRegister_impl::doServiceRegister(const char* regtype, unsigned short port,
                                                    unsigned short txtLen, const void* txtRecord,
                                                    const char* name, const char* domain, const char* host,
                                                    unsigned int interfaceIndex, unsigned int flags) {
    std::unique_lock<std::mutex> lifecycle(lifecycleMutex_);
    // Held until this call returns; a registration in force keeps the
    // component busy afterwards through its open request.
    const OperationClaim claim(*this, OperationClaim::Mode::RefuseIfBusy);
    if (!claim) {
        return Zelm::Error(Zelm::MDNS::BrowseOperationAlreadyInProgress());
    }
    {
        std::lock_guard<std::mutex> lock(registrationMutex);
        replyError_ = kDNSServiceErr_NoError;
    }

    Util::fillTxtBuffer(txtBuffer, txtRecord, txtLen);
    lastError = startRequest([&](DNSServiceRef* ref) {
        return DNSServiceRegister(ref, flags, interfaceIndex, name, regtype, domain, host, htons(port),
                                  static_cast<uint16_t>(txtBuffer.size()), txtBuffer.data(),
                                  &ServiceRegister_impl::__DNSServiceRegisterReplyFunc__, this);
    });
    const DNSServiceErrorType started = lastError;
    if (started != kDNSServiceErr_NoError) {
        Util::writeErrorLine(started, kStartFailurePrefix);
        return Util::dnsSdError(started, Zelm::Error::Service);
    }
    initialized = true;

    if (!waitForRegistration) {
        return keepAliveOrWithdraw();
    }

    // Replies are read on this thread until the daemon has named the service
    // or refused it. A processing failure ends the wait silently; so does a
    // tear-down from another thread, whose socket shutdown wakes this thread
    // and after which processOneResult refuses to touch the reference.
    lifecycle.unlock();
    DNSServiceErrorType replyError = kDNSServiceErr_NoError;
    while (processOneResult() == kDNSServiceErr_NoError && !registrationSettled(replyError)) {
    }
    lifecycle.lock();

    if (!isOperationOpen()) {
        // cleanup() ran during the wait (or right after it) and withdrew the
        // registration. The reference this call waited on no longer exists,
        // hence kDNSServiceErr_BadReference, the same answer processOneResult
        // gives once a tear-down has begun.
        lastError = kDNSServiceErr_BadReference;
        return Util::dnsSdError(kDNSServiceErr_BadReference, Zelm::Error::Service);
    }
    if (replyError != kDNSServiceErr_NoError) {
        // The daemon refused the registration: withdraw it so that a later
        // call can retry.
        lastError = replyError;
        tearDownLocked();
        return Util::dnsSdError(replyError, Zelm::Error::Service);
    }
    if (lastError != kDNSServiceErr_NoError) {
        return Util::dnsSdError(lastError, Zelm::Error::Service);
    }
    return keepAliveOrWithdraw();
}

Zelm::Error ServiceRegister_impl::keepAliveOrWithdraw() {
    const DNSServiceErrorType started = startKeepAliveThread();
    if (started != kDNSServiceErr_NoError) {
        // A registration that would never be refreshed is not kept.
        lastError = started;
        Util::writeErrorLine(started);
        tearDownLocked();
        return Util::dnsSdError(started, Zelm::Error::Service);
    }
    return lastError == kDNSServiceErr_NoError ? Zelm::Error()
                                               : Util::dnsSdError(lastError, Zelm::Error::Service);
}

bool ServiceRegister_impl::registrationSettled(DNSServiceErrorType& replyError) {
    std::lock_guard<std::mutex> lock(registrationMutex);
    if (replyError_ != kDNSServiceErr_NoError) {
        replyError = replyError_;
        return true;
    }
    // A component that registered before still holds the earlier name, so
    // its wait ends after the first reply of any kind.
    return !registeredName.empty();
}

void ServiceRegister_impl::__DNSServiceRegisterReplyFunc__(DNSServiceRef /*sdRef*/, DNSServiceFlags /*flags*/,
                                                           DNSServiceErrorType errorCode, const char* name,
                                                           const char* regtype, const char* domain,
                                                           void* context) {
    if (context == nullptr) {
        return;
    }
    auto* self = static_cast<ServiceRegister_impl*>(context);
    std::lock_guard<std::mutex> lock(self->registrationMutex);
    if (errorCode == kDNSServiceErr_NoError) {
        // A missing text leaves the earlier value in place.
        if (name != nullptr) self->registeredName = name;
        if (regtype != nullptr) self->registeredType = regtype;
        if (domain != nullptr) self->registeredDomain = domain;
        return;
    }
    self->replyError_ = errorCode;
    std::ostringstream line;
    line.imbue(std::locale::classic());  // a plain number whatever the host's locale
    line << " Error Registering service: " << errorCode << "(" << Util::textOrEmpty(name) << "."
         << Util::textOrEmpty(regtype) << Util::textOrEmpty(domain) << ")";
    Util::writeLine(line.str());
}

DNSServiceErrorType ServiceRegister_impl::startKeepAliveThread() {
    if (keepAliveThread) {
        return kDNSServiceErr_NoError;
    }
    keepAliveSemaphore.reset();
    keepAliveIntervalMs = keepAlivePeriodMs_;
    // Only a shortage of memory or of threads stops a thread from starting.
    std::shared_ptr<SmallStackThread> thread;
    try {
        thread = std::make_shared<SmallStackThread>();
    } catch (const std::bad_alloc&) {
        return kDNSServiceErr_NoMemory;
    }
    // The thread gets the reference it refreshes: it stays open until the
    // thread has been joined.
    const DNSServiceRef ref = openRequest();
    if (thread->start([this, ref] { runKeepAlive(ref); }, kKeepAliveStackBytes) != 0) {
        return kDNSServiceErr_NoMemory;
    }
    keepAliveThread = std::move(thread);
    return kDNSServiceErr_NoError;
}

void ServiceRegister_impl::stopKeepAliveThread() {
    if (!keepAliveThread) {
        return;
    }
    // The interval goes to 0 before the signal, so a thread whose wait timed
    // out at the same moment still sees the request and sends no update.
    keepAliveIntervalMs = 0;
    keepAliveSemaphore.signal();
    keepAliveThread->join();
    keepAliveThread.reset();
}

void ServiceRegister_impl::runKeepAlive(DNSServiceRef ref) {
    for (;;) {
        const int intervalMs = keepAliveIntervalMs;
        if (intervalMs == 0 || keepAliveSemaphore.wait_for_milliseconds(intervalMs) ||
            keepAliveIntervalMs == 0) {
            return;
        }
        // Failures change nothing: the next refresh follows a period later.
        DNSServiceUpdateRecord(ref, nullptr, 0, static_cast<uint16_t>(txtBuffer.size()), txtBuffer.data(),
                               kKeepAliveTtl);
    }
}

}  // namespace Zelm::MDNS::Apple

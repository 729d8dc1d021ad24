#include "Resolve_impl.h"

#include "ErrorLine.h"
#include "Outcome.h"

#include <zelm/mdns/MDNSError.h>

#include <arpa/inet.h>

#include <mutex>

namespace Zelm::MDNS::Apple {

namespace {

constexpr unsigned int kResolveTimeoutMs = 4000;

}  // namespace

Resolve_impl::Resolve_impl() : replyInterfaceIndex(0), port(0), interfaceIndex(0), flags(0) {}

Resolve_impl::~Resolve_impl() = default;

bool Resolve_impl::isInitialized() const { return MDNSBase_impl::isInitialized(); }

Zelm::Error Resolve_impl::resolveService(const char* name, const char* regtype, const char* domain,
                                         unsigned int interfaceIndex, unsigned int flags) {
    // Held until this call returns, so that no other call can change the
    // request or the answer before this one has read them.
    const OperationClaim claim(*this, OperationClaim::Mode::RefuseIfBusy);
    if (!claim) {
        return Zelm::MDNS::BrowseOperationAlreadyInProgress();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        this->name = Util::textOrEmpty(name);
        this->regtype = Util::textOrEmpty(regtype);
        this->domain = Util::textOrEmpty(domain);

        initialized = false;
        this->interfaceIndex = interfaceIndex;
        this->flags = flags;
        lastError = kDNSServiceErr_NoError;
        // The previous answer goes before the new request is sent, so nothing
        // of it can be mistaken for this one's.
        replyInterfaceIndex = 0;
        fullname.clear();
        hosttarget.clear();
        txtRecord.clear();
        port = 0;
    }

    // The caller's pointers, unchanged: a null domain means the default domains.
    lastError = startRequest([&](DNSServiceRef* ref) {
        return DNSServiceResolve(ref, flags, interfaceIndex, name, regtype, domain,
                                 __DNSServiceResolveReplyFunc__, this);
    });
    if (lastError != kDNSServiceErr_NoError) {
        return Util::dnsSdError(lastError, Zelm::Error::Service);
    }

    // The outcome is judged from the stored answer, not from whether the wait
    // was cut short. The service thread has been joined when this returns.
    performService(kResolveTimeoutMs);

    if (hosttarget.empty()) {
        // No service thread is a shortage of resources, not an unanswered request.
        lastError = serviceThreadFailed() ? lastError.load() : kDNSServiceErr_NotInitialized;
        return Util::dnsSdError(lastError, Zelm::Error::Service);
    }
    if (lastError != kDNSServiceErr_NoError) {
        return Util::dnsSdError(lastError, Zelm::Error::Service);
    }
    return Zelm::Error();
}

const std::string& Resolve_impl::getHosttarget() const {
    std::lock_guard<std::mutex> lock(mutex);
    return hosttarget;
}

const std::string& Resolve_impl::getFullname() const {
    std::lock_guard<std::mutex> lock(mutex);
    return fullname;
}

unsigned short Resolve_impl::getPort() const {
    std::lock_guard<std::mutex> lock(mutex);
    return port;
}

const std::string& Resolve_impl::getTxtRecord() const {
    std::lock_guard<std::mutex> lock(mutex);
    return txtRecord;
}

void Resolve_impl::__DNSServiceResolveReplyFunc__(DNSServiceRef /*sdRef*/, DNSServiceFlags flags,
                                                  uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                                  const char* fullname, const char* hosttarget, uint16_t port,
                                                  uint16_t txtLen, const unsigned char* txtRecord,
                                                  void* context) {
    if (context == nullptr) {
        return;
    }
    auto* self = static_cast<Resolve_impl*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);

    self->lastError = errorCode;
    if (errorCode != kDNSServiceErr_NoError) {
        Util::writeErrorLine(errorCode);
    } else {
        self->replyInterfaceIndex = interfaceIndex;
        self->fullname = Util::textOrEmpty(fullname);
        self->hosttarget = Util::textOrEmpty(hosttarget);
        self->port = ntohs(port);
        if (txtRecord != nullptr) {
            self->txtRecord.assign(reinterpret_cast<const char*>(txtRecord), txtLen);
        } else {
            self->txtRecord.clear();
        }
    }

    // The last reply of a burst, answer or error, completes the resolution.
    if ((flags & kDNSServiceFlagsMoreComing) == 0) {
        self->cleanup();
        self->semaphore.signal();
    }
}

}  // namespace Zelm::MDNS::Apple

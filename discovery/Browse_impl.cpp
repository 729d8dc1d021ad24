#include "Browse_impl.h"

#include "ErrorLine.h"
#include "Outcome.h"

#include <zelm/mdns/MDNSError.h>

#include <mutex>
#include <utility>

namespace Zelm::MDNS::Apple {

namespace {}  // namespace

Browse_impl::Browse_impl() : interfaceIndex(0), flags(0) {}

Browse_impl::~Browse_impl() = default;

bool Browse_impl::isInitialized() const { return MDNSBase_impl::isInitialized(); }

Zelm::Error Browse_impl::browseService(unsigned int timeoutMs, const char* regtype, const char* domain,
                                       unsigned int interfaceIndex, unsigned int flags,
                                       std::function<void(const Zelm::MDNS::Info&)> callback) {
    if (regtype == nullptr) {
        return Util::dnsSdError(kDNSServiceErr_BadParam, Zelm::Error::Discovery);
    }
    // Held until this call returns, so that no other call can change the
    // request or the results before this one has read them.
    const OperationClaim claim(*this, OperationClaim::Mode::RefuseIfBusy);
    if (!claim) {
        return Zelm::MDNS::BrowseOperationAlreadyInProgress();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        infoList.clear();
    }

    lastError = kDNSServiceErr_NoError;
    this->regtype = regtype;
    this->domain = Util::textOrEmpty(domain);
    this->interfaceIndex = interfaceIndex;
    this->flags = flags;
    this->callback = std::move(callback);

    // The daemon takes an empty domain as "the default domains".
    lastError = startRequest([this](DNSServiceRef* ref) {
        return DNSServiceBrowse(ref, this->flags, this->interfaceIndex, this->regtype.c_str(),
                                this->domain.c_str(), __DNSServiceBrowseReplyFunc__, this);
    });

    // Runs even after a failed start: the loop then ends at once, and the call
    // still lasts the caller's time-out.
    performService(timeoutMs);

    bool found = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        found = !infoList.empty();
    }
    const unsigned int code = found ? 0u : static_cast<unsigned int>(lastError.load());
    return Zelm::Error(code, Zelm::Error::Discovery, "");
}

std::vector<Zelm::MDNS::Info> Browse_impl::getInfo() const {
    std::lock_guard<std::mutex> lock(mutex);
    return infoList;
}

void Browse_impl::__DNSServiceBrowseReplyFunc__(DNSServiceRef /*sdRef*/, DNSServiceFlags /*flags*/,
                                                uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                                const char* serviceName, const char* regtype,
                                                const char* replyDomain, void* context) {
    if (context == nullptr) {
        return;
    }
    auto* self = static_cast<Browse_impl*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);

    if (errorCode != kDNSServiceErr_NoError) {
        Util::writeErrorLine(errorCode);
        return;
    }

    // Arrivals and departures alike become entries: the list records what the
    // daemon reported, not which instances are currently present.
    const Zelm::MDNS::Info entry(Util::textOrEmpty(serviceName), Util::textOrEmpty(regtype),
                                 Util::textOrEmpty(replyDomain), static_cast<int>(interfaceIndex));
    self->infoList.push_back(entry);
    if (self->callback) {
        try {
            self->callback(entry);
        } catch (...) {
            // The entry is already kept; a failing callback must not end the
            // browse, and the exception may not cross the DNS-SD library.
        }
    }
}

}  // namespace Zelm::MDNS::Apple

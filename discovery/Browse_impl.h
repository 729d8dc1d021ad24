#pragma once

#include "MDNSBase_impl.h"

#include <zelm/Error.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/Info.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Zelm::MDNS::Apple {

// Collects the instances of one service type for the caller's time-out. Every
// successful reply becomes one entry, in arrival order, and is handed to the
// caller's function as it arrives; a browse always lasts its whole time-out.
class Browse_impl : public MDNSBase_impl, public Zelm::MDNS::BrowseInterface {
public:
    Browse_impl();
    ~Browse_impl() override;

    bool isInitialized() const override;

    Zelm::Error browseService(unsigned int timeoutMs, const char* regtype, const char* domain,
                              unsigned int interfaceIndex, unsigned int flags,
                              std::function<void(const Zelm::MDNS::Info&)> callback) override;
    std::vector<Zelm::MDNS::Info> getInfo() const override;

    static void __DNSServiceBrowseReplyFunc__(DNSServiceRef sdRef, DNSServiceFlags flags,
                                              uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                              const char* serviceName, const char* regtype,
                                              const char* replyDomain, void* context);

protected:
    // Guarded by `mutex`.
    std::vector<Zelm::MDNS::Info> infoList;
    // The request of the current or last browse; written only before its
    // DNS-SD request exists.
    std::string regtype;
    std::string domain;  // empty: the default domains
    uint32_t interfaceIndex;
    uint32_t flags;
    std::function<void(const Zelm::MDNS::Info&)> callback;
};

}  // namespace Zelm::MDNS::Apple

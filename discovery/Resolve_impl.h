#pragma once

#include "MDNSBase_impl.h"

#include <zelm/Error.h>
#include <zelm/mdns/ResolveInterface.h>

#include <cstdint>
#include <string>

namespace Zelm::MDNS::Apple {

// Turns one service instance into its target host, port and TXT record. The
// resolution ends with the first reply that is not followed by more of the
// same burst, or after 4000 ms.
class Resolve_impl : public MDNSBase_impl, public Zelm::MDNS::ResolveInterface {
public:
    Resolve_impl();
    ~Resolve_impl() override;

    bool isInitialized() const override;

    Zelm::Error resolveService(const char* name, const char* regtype, const char* domain,
                               unsigned int interfaceIndex, unsigned int flags) override;
    // The references stay valid until the next resolveService clears the answer.
    const std::string& getHosttarget() const override;
    const std::string& getFullname() const override;
    unsigned short getPort() const override;  // host byte order
    const std::string& getTxtRecord() const override;

    static void __DNSServiceResolveReplyFunc__(DNSServiceRef sdRef, DNSServiceFlags flags,
                                               uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                               const char* fullname, const char* hosttarget, uint16_t port,
                                               uint16_t txtLen, const unsigned char* txtRecord,
                                               void* context);

protected:
    // The answer of the last successful reply, guarded by `mutex`.
    uint32_t replyInterfaceIndex;
    std::string fullname;
    std::string hosttarget;  // empty: nothing resolved
    uint16_t port;
    std::string txtRecord;  // raw TXT wire bytes, zero bytes included

    // A record of the last request.
    std::string name;
    std::string regtype;
    std::string domain;
    uint32_t interfaceIndex;
    uint32_t flags;
};

}  // namespace Zelm::MDNS::Apple

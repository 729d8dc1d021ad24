#pragma once

#include "operations/UnicastOperation.h"

#include <string>

namespace Zelm::DnsSd {

// DNSServiceGetAddrInfo of a host outside the link-local domain: its A and
// AAAA records, as the protocol mask asks, one reply per address
// (kDNSServiceFlagsAdd, the record's TTL). A name with a trailing dot is
// asked as it is; one without goes through the resolver's search list. When
// every answer is in and none had an address, one error reply:
// kDNSServiceErr_Timeout when no server answered a question, else
// kDNSServiceErr_NoSuchName.
class UnicastLookupOperation final : public UnicastOperation {
public:
    UnicastLookupOperation(bool ipv4, bool ipv6, std::string hostName, DNSServiceGetAddrInfoReply callBack,
                           void* context);

    void begin(const UnicastContext& context) override;

private:
    void onAnswer(std::uint16_t type, const Unicast::Answer& answer);
    void postAddress(int family, const std::string& address, std::uint32_t ttl);
    void postFailure(DNSServiceErrorType code);

    const bool ipv4_;
    const bool ipv6_;
    const std::string hostName_;
    const DNSServiceGetAddrInfoReply callBack_;
    void* const userContext_;
    int waiting_ = 0;
    bool found_ = false;
    Unicast::Outcome failure_ = Unicast::Outcome::kAnswered;
};

}  // namespace Zelm::DnsSd

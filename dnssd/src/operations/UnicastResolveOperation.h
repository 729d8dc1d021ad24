#pragma once

#include "operations/UnicastOperation.h"

#include <optional>
#include <string>

namespace Zelm::DnsSd {

// DNSServiceResolve in a unicast domain: the SRV and TXT records of the
// instance, asked together, and one reply once both answers are in: host,
// port and the TXT record's strings byte for byte (empty ones included; no
// TXT record gives the one empty string). An instance without an SRV record
// (NXDOMAIN, or no such record) replies kDNSServiceErr_NoSuchName; no server
// answering, kDNSServiceErr_Timeout. Among several SRV records the one with
// the lowest priority, then the highest weight, is replied.
class UnicastResolveOperation final : public UnicastOperation {
public:
    UnicastResolveOperation(std::string name, std::string type, std::string domain,
                            DNSServiceResolveReply callBack, void* context);

    void begin(const UnicastContext& context) override;

private:
    void onAnswer(std::optional<Unicast::Answer>& slot, const Unicast::Answer& answer);
    void reply();
    void postFailure(DNSServiceErrorType code);

    const std::string name_;
    const std::string fullName_;  // "<escaped name>.<type>.<domain>."
    const DNSServiceResolveReply callBack_;
    void* const userContext_;
    std::optional<Unicast::Answer> service_;
    std::optional<Unicast::Answer> text_;
};

}  // namespace Zelm::DnsSd

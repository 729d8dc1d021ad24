#pragma once

#include "Operation.h"

#include <avahi-client/lookup.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace Zelm::DnsSd {

// DNSServiceGetAddrInfo over Avahi record browsers for the host's A and/or
// AAAA records, so that every address is reported, with its interface, and
// withdrawn addresses too. A name nobody answers gets no reply at all: the
// query runs until the reference is deallocated. Only a failure the daemon
// reports before any address becomes one error reply.
class AddressLookupOperation final : public Operation {
public:
    AddressLookupOperation(AvahiIfIndex interface, bool ipv4, bool ipv6, std::string hostName,
                           DNSServiceGetAddrInfoReply callBack, void* context);
    ~AddressLookupOperation() override;

    int daemonObjects() const override { return static_cast<int>(families_.size()); }
    int start(const DaemonContext& context) override;
    void stop() override;
    // No error reply when the daemon goes away: a reply ends an address
    // lookup as an answer would, so its caller would take the loss for a
    // result. DNSServiceProcessResult reports the loss instead.

private:
    struct Family {
        AddressLookupOperation* owner;
        int addressFamily;  // AF_INET or AF_INET6
        AvahiRecordBrowser* browser = nullptr;
    };

    static void onRecord(AvahiRecordBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char* name, uint16_t clazz, uint16_t type,
                         const void* rdata, size_t size, AvahiLookupResultFlags flags, void* userdata);

    void recordEvent(Family& family, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                     const void* rdata, size_t size);
    void postAddress(DNSServiceFlags flags, AvahiIfIndex interface, int addressFamily,
                     const std::string& address);
    void postFailure(DNSServiceErrorType code);

    using AddressKey = std::tuple<AvahiIfIndex, int, std::string>;

    const AvahiIfIndex interface_;
    const std::string hostName_;  // as the daemon takes it: no trailing dot
    const std::string replyName_;
    const DNSServiceGetAddrInfoReply callBack_;
    void* const context_;
    std::vector<Family> families_;

    AvahiClient* client_ = nullptr;
    ReplySink* sink_ = nullptr;
    bool answered_ = false;                         // an address or an error reply went out
    std::map<AddressKey, unsigned> protocolsSeen_;  // bit per AvahiProtocol
};

}  // namespace Zelm::DnsSd

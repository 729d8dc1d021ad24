#pragma once

#include "daemon/PendingCalls.h"
#include "operations/Operation.h"
#include "operations/Sightings.h"

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace Zelm::DnsSd {

// DNSServiceGetAddrInfo. Per address family asked for, the daemon's one-call
// host-name resolution gives the first answer at once from its cache, and a
// record browser for the host's A or AAAA records follows the host from
// there: every address, with its interface, and withdrawn addresses too. A
// name nobody answers gets no reply at all: the query runs until the
// reference is deallocated. Only a failure the daemon reports before any
// address becomes one error reply.
class AddressLookupOperation final : public Operation {
public:
    AddressLookupOperation(Daemon::Interface interface, bool ipv4, bool ipv6, std::string hostName,
                           DNSServiceGetAddrInfoReply callBack, void* context);
    ~AddressLookupOperation() override;

    int daemonObjects() const override { return static_cast<int>(families_.size()); }
    int callsAtStart() const override { return daemonObjects(); }
    void start(const DaemonContext& context, Settle settle) override;
    void stop() override;
    void forgetDaemon() override;
    // No error reply when the daemon goes away: a reply ends an address
    // lookup as an answer would, so its caller would take the loss for a
    // result. DNSServiceProcessResult reports the loss instead.
    bool daemonLost() override;

private:
    struct Family;

    void resolveAtOnce(Channel& channel, Family& family);
    void onAddress(bool added, Daemon::Interface interface, Daemon::Protocol protocol, int addressFamily,
                   const std::string& address);
    void onFailure(DNSServiceErrorType code);
    void postAddress(DNSServiceFlags flags, Daemon::Interface interface, int addressFamily,
                     const std::string& address);

    const Daemon::Interface interface_;
    const std::string hostName_;  // as the daemon takes it: no trailing dot
    const std::string replyName_;
    const DNSServiceGetAddrInfoReply callBack_;
    void* const context_;
    std::vector<std::unique_ptr<Family>> families_;

    ReplySink* sink_ = nullptr;
    PendingCalls calls_;
    bool answered_ = false;  // an address or an error reply went out
    Sightings<std::tuple<Daemon::Interface, int, std::string>> sightings_;
};

}  // namespace Zelm::DnsSd

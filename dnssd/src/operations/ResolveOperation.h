#pragma once

#include "operations/SingleObjectOperation.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Zelm::DnsSd {

// DNSServiceResolve over a service resolver of the daemon, with the first
// answer from the daemon's one-call resolution beside it. It asks for no
// address (DNS-SD resolution reports the target host, not its addresses) and
// passes on every new answer the daemon reports until it is deallocated.
class ResolveOperation final : public SingleObjectOperation {
public:
    ResolveOperation(Daemon::Interface interface, std::string name, std::string type, std::string domain,
                     DNSServiceResolveReply callBack, void* context);

    void start(const DaemonContext& context, Settle settle) override;

private:
    void handleSignal(const Daemon::Incoming& signal) override;
    void onFound(const Daemon::ServiceFound& found);
    void postFailure(DNSServiceErrorType code) override;

    const Daemon::Interface interface_;
    const std::string name_;
    const std::string type_;
    const std::string domain_;  // empty: the daemon's default
    const DNSServiceResolveReply callBack_;
    void* const context_;

    std::string lastAnswer_;  // the daemon repeats unchanged answers; they are passed on once
};

}  // namespace Zelm::DnsSd

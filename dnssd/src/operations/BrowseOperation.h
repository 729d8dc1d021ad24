#pragma once

#include "operations/Sightings.h"
#include "operations/SingleObjectOperation.h"

#include <string>
#include <tuple>

namespace Zelm::DnsSd {

// DNSServiceBrowse over a service browser of the daemon, or, for the
// meta-query "_services._dns-sd._udp", over its service-type browser. The
// caller gets one reply per (interface, item): kDNSServiceFlagsAdd when the
// daemon first reports it, flags 0 when the last report is withdrawn. A
// service type is replied as DNS-SD does: its first label as the instance
// name ("_http"), the rest and the domain as the type ("_tcp.local."), and
// "." as the domain.
class BrowseOperation final : public SingleObjectOperation {
public:
    enum class Kind { Instances, ServiceTypes };

    BrowseOperation(Kind kind, Daemon::Interface interface, std::string browsedType, std::string domain,
                    DNSServiceBrowseReply callBack, void* context);

    void start(const DaemonContext& context, Settle settle) override;

private:
    void handleSignal(const Daemon::Incoming& signal) override;
    void onItem(bool added, Daemon::Interface interface, Daemon::Protocol protocol, const std::string& name,
                const std::string& type, const std::string& domain);
    void postItem(DNSServiceFlags flags, Daemon::Interface interface, std::string name, std::string type,
                  std::string domain);
    void postFailure(DNSServiceErrorType code) override;

    const Kind kind_;
    const Daemon::Interface interface_;
    const std::string browsedType_;  // "_http._tcp" or "_printer._sub._http._tcp"
    const std::string domain_;       // empty: the daemon's default
    const DNSServiceBrowseReply callBack_;
    void* const context_;

    Sightings<std::tuple<Daemon::Interface, std::string, std::string, std::string>> sightings_;
};

}  // namespace Zelm::DnsSd

#pragma once

// Finds where the updates of a registration go: the zone that holds the
// registration's domain, and that zone's primary server. The zone is the
// owner of the SOA record that a query for the domain's SOA returns (in the
// answer, or in the authority section of a negative answer), asked again one
// label up while neither holds one. The primary is the target of
// `_dns-update._udp.<zone>` SRV when there is one, else the SOA's MNAME;
// its address comes from a query for its A, then AAAA, record. A server the
// configuration names overrides the search: the updates go there, for the
// configuration section's domain as the zone.

#include "unicast/DnsClient.h"
#include "unicast/update/UpdateConfig.h"

#include <dns_sd.h>

#include <functional>
#include <memory>
#include <string>

namespace Zelm::DnsSd::Unicast::Update {

struct Primary {
    std::string zone;  // with its trailing dot
    Server server;
};

class PrimaryLocator {
public:
    // `done` gets kDNSServiceErr_NoError and the primary, else
    // kDNSServiceErr_Timeout (no server answered), kDNSServiceErr_NoSuchName
    // (no zone holds the domain, or its primary has no address) or
    // kDNSServiceErr_NoMemory. It runs once, from within start() too when a
    // query fails at once.
    using Done = std::function<void(DNSServiceErrorType error, const Primary& primary)>;

    explicit PrimaryLocator(DnsClient& client) : client_(client) {}
    // Cancels a search still running; `done` does not run afterwards.
    ~PrimaryLocator();
    PrimaryLocator(const PrimaryLocator&) = delete;
    PrimaryLocator& operator=(const PrimaryLocator&) = delete;

    void start(const std::string& domain, const ZoneSettings* settings, Done done);

private:
    void askSoa(const std::string& name);
    void askUpdateService();
    void askAddress(const std::string& host, std::uint16_t type);
    void ask(const std::string& name, std::uint16_t type,
             std::function<void(const std::vector<std::uint8_t>&)> onAnswer);
    void finish(DNSServiceErrorType error);

    DnsClient& client_;
    Done done_;
    Primary primary_;
    std::string mname_;
    DnsClient::Request request_ = 0;
    std::shared_ptr<PrimaryLocator*> self_ = std::make_shared<PrimaryLocator*>(this);
};

}  // namespace Zelm::DnsSd::Unicast::Update

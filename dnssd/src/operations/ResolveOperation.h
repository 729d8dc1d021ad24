#pragma once

#include "Operation.h"

#include <avahi-client/lookup.h>

#include <string>

namespace Zelm::DnsSd {

// DNSServiceResolve over an Avahi service resolver. It asks for no address
// (DNS-SD resolution reports the target host, not its addresses) and passes
// on every new answer the daemon reports until it is deallocated.
class ResolveOperation final : public Operation {
public:
    ResolveOperation(AvahiIfIndex interface, std::string name, std::string type, std::string domain,
                     DNSServiceResolveReply callBack, void* context);
    ~ResolveOperation() override;

    int start(const DaemonContext& context) override;
    void stop() override;
    bool daemonLost() override {
        postFailure(kDNSServiceErr_ServiceNotRunning);
        return false;
    }

private:
    static void onEvent(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiResolverEvent event, const char* name, const char* type, const char* domain,
                        const char* hostName, const AvahiAddress* address, uint16_t port,
                        AvahiStringList* txt, AvahiLookupResultFlags flags, void* userdata);

    void postFailure(DNSServiceErrorType code);

    const AvahiIfIndex interface_;
    const std::string name_;
    const std::string type_;
    const std::string domain_;  // empty: the daemon's default
    const DNSServiceResolveReply callBack_;
    void* const context_;

    AvahiClient* client_ = nullptr;
    ReplySink* sink_ = nullptr;
    AvahiServiceResolver* resolver_ = nullptr;
    std::string lastAnswer_;  // the daemon repeats unchanged answers; they are passed on once
};

}  // namespace Zelm::DnsSd

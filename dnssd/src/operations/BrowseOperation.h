#pragma once

#include "Operation.h"

#include <avahi-client/lookup.h>

#include <map>
#include <string>
#include <tuple>

namespace Zelm::DnsSd {

// DNSServiceBrowse over an Avahi service browser. The daemon reports an
// instance once per IP protocol; the caller gets one reply per (interface,
// instance): kDNSServiceFlagsAdd when the first report arrives, flags 0 when
// the last one is withdrawn.
class BrowseOperation final : public Operation {
public:
    BrowseOperation(AvahiIfIndex interface, std::string browsedType, std::string domain,
                    DNSServiceBrowseReply callBack, void* context);
    ~BrowseOperation() override;

    int start(const DaemonContext& context) override;
    void stop() override;
    bool daemonLost() override {
        postFailure(kDNSServiceErr_ServiceNotRunning);
        return false;
    }

private:
    static void onEvent(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                        AvahiLookupResultFlags flags, void* userdata);

    void postInstance(DNSServiceFlags flags, AvahiIfIndex interface, const char* name, const char* type,
                      const char* domain);
    void postFailure(DNSServiceErrorType code);

    using InstanceKey = std::tuple<AvahiIfIndex, std::string, std::string, std::string>;

    const AvahiIfIndex interface_;
    const std::string browsedType_;  // "_http._tcp" or "_printer._sub._http._tcp"
    const std::string domain_;       // empty: the daemon's default
    const DNSServiceBrowseReply callBack_;
    void* const context_;

    AvahiClient* client_ = nullptr;
    ReplySink* sink_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    std::map<InstanceKey, unsigned> protocolsSeen_;  // bit per AvahiProtocol
};

}  // namespace Zelm::DnsSd

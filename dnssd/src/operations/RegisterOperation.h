#pragma once

#include "Operation.h"

#include <avahi-client/publish.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Zelm::DnsSd {

// DNSServiceRegister over an Avahi entry group. The success reply comes when
// the daemon has established the service, with the name actually in use. On a
// name conflict (with a service of this host at once, or with another host
// later) the service takes the daemon's next alternative name and registers
// again, unless auto-renaming is off: then an error reply with
// kDNSServiceErr_NameConflict, and the service stays withdrawn.
//
// A registration the daemon has confirmed outlives the daemon: when the
// connection is lost it waits, and on a new connection it is published again
// with its current name and TXT record, replying as a first registration
// does. One still waiting for its confirmation ends with an error reply.
class RegisterOperation final : public Operation {
public:
    struct Request {
        AvahiIfIndex interface = AVAHI_IF_UNSPEC;
        bool autoRename = true;
        std::string name;  // empty: the daemon's host name
        std::string type;  // "_http._tcp"
        std::vector<std::string> subtypes;
        std::string domain;  // empty: the daemon's default
        std::string host;    // empty: this host
        uint16_t port = 0;   // host byte order
        std::vector<std::string> txt;
    };

    RegisterOperation(Request request, DNSServiceRegisterReply callBack, void* context);
    ~RegisterOperation() override;

    int start(const DaemonContext& context) override;
    void stop() override;
    void daemonStateChanged(AvahiClientState state) override;
    bool daemonLost() override;
    int resume(const DaemonContext& context) override;
    RegisterOperation* asRegistration() override { return this; }

    // Replaces the TXT record; an Avahi error code. While the daemon is away
    // the record is kept for the next publication and AVAHI_ERR_DISCONNECTED
    // returned.
    int updateTxt(std::vector<std::string> txt);

private:
    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata);

    // Adds the service under the current name and commits. Renames and tries
    // again on a conflict with a service of this host. An Avahi error code;
    // a conflict without auto-renaming is not an error here, it is replied.
    int publish();
    // The process-wide claim on the current name (see LocalServiceNames).
    bool claimName();
    void releaseName();
    void conflict();
    void rename();
    void postRegistered();
    void postFailure(DNSServiceErrorType code);

    const char* domainOrNull() const { return request_.domain.empty() ? nullptr : request_.domain.c_str(); }

    Request request_;
    const DNSServiceRegisterReply callBack_;
    void* const context_;

    AvahiClient* client_ = nullptr;
    ReplySink* sink_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    bool published_ = false;  // the group holds the service
    bool republish_ = false;  // withdrawn while the daemon renames its host
    bool gaveUp_ = false;     // conflict without auto-renaming
    bool confirmed_ = false;  // the daemon has established it at least once
    bool away_ = false;       // the daemon is gone; waiting for resume()
    bool ended_ = false;      // lost before its confirmation
    bool claimed_ = false;
};

}  // namespace Zelm::DnsSd

#pragma once

#include "daemon/DaemonObject.h"
#include "daemon/PendingCalls.h"
#include "operations/Operation.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Zelm::DnsSd {

// DNSServiceRegister over an entry group of the daemon. The success reply
// comes when the daemon has established the service, with the name actually
// in use. On a name conflict (with a service of this host at once, or with
// another host later) the service takes the next alternative name and
// registers again, unless auto-renaming is off: then an error reply with
// kDNSServiceErr_NameConflict, and the service stays withdrawn.
//
// A registration the daemon has confirmed outlives the daemon: when the
// daemon goes away it waits, and once a daemon runs again it is published
// again with its current name and TXT record, replying as a first
// registration does. Those later replies replace one another while nobody
// reads them. One still waiting for its confirmation ends with an error reply.
//
// A registration under the default name (none given) follows the daemon's
// host name: when the host is renamed it is published again under the new
// name, and replies so. A TXT record updated before the confirmation is
// published once it comes, the latest one.
//
// Port 0 reserves the name and offers no service: the instance's SRV record,
// with port 0, and its TXT record, probed and defended like any unique
// records, but no PTR record and no subtypes, so no browse finds it. A
// registration of the name elsewhere differs in its SRV record and so
// conflicts with it.
class RegisterOperation final : public Operation, private SignalTarget {
public:
    struct Request {
        Daemon::Interface interface = Daemon::kAnyInterface;
        bool autoRename = true;
        std::string name;  // empty: the daemon's host name
        std::string type;  // "_http._tcp"
        std::vector<std::string> subtypes;
        std::string domain;  // empty: the daemon's default
        std::string host;    // empty: this host
        uint16_t port = 0;   // host byte order; 0: a name reservation
        std::vector<std::string> txt;
    };

    RegisterOperation(Request request, DNSServiceRegisterReply callBack, void* context);
    ~RegisterOperation() override;

    void start(const DaemonContext& context, Settle settle) override;
    void stop() override;
    void forgetDaemon() override;
    void serverStateChanged(Daemon::ServerState state) override;
    bool daemonLost() override;
    void resume(const DaemonContext& context) override;
    RegisterOperation* asRegistration() override { return this; }

    // Replaces the TXT record; `done` gets the daemon's answer to the request
    // sent with `call`, or runs at once when nothing needs to be sent. While
    // the service is not published the record is kept, and sent once the
    // daemon confirms the service, or with its next publication.
    void updateTxt(std::vector<std::string> txt, PendingCalls& call, Settle::Function done);

private:
    enum class State {
        Publishing,        // sent to the daemon, never confirmed yet
        Established,       // confirmed and published
        Republishing,      // confirmed before, being published again
        WaitingForServer,  // never confirmed; withdrawn while the daemon settles its host name
        HeldForServer,     // confirmed before; withdrawn while the daemon settles its host name
        Away,              // confirmed before; the daemon is gone, waiting for resume()
        GaveUp,            // a conflict without auto-renaming: stays withdrawn
        Ended,             // failed, or lost before its confirmation
    };

    bool confirmed() const;
    bool reservation() const { return request_.port == 0; }
    // A reservation's records, SRV then TXT; `added` gets the outcome.
    bool reserveName(Channel::Handler added);
    // One record of the instance's name, of `type`, with `data`.
    bool addRecord(PendingCalls& calls, uint32_t flags, uint16_t type, std::string data,
                   Channel::Handler done);
    // Sends the current TXT record to replace the published one.
    bool sendTxt(PendingCalls& calls, Channel::Handler done);
    // The domain published in: the request's, else the daemon's.
    std::string domainInUse() const;
    // "<instance>.<type>.<domain>", escaped, as the daemon names records.
    std::string instanceName() const;
    // Publishes again after the daemon settled its host name, under the new
    // one when the name follows it.
    void publishAfterSettling();
    // A name that follows the host becomes `host` (unless empty).
    void takeHostName(const std::string& host);
    void onSignal(const Daemon::Incoming& signal) override;
    // A publication the daemon has not confirmed in time ends with an error.
    void awaitConfirmation();
    void confirmationOverdue();
    void cancelConfirmation();
    void onGroupState(Daemon::GroupState state, DNSServiceErrorType error);
    void createGroup();
    // Adds the service under the current name, its subtypes, and commits.
    void publish(int attempt = 0);
    void onServiceAdded(DNSServiceErrorType error, int attempt);
    void addSubtype(size_t index);
    void commit();
    void conflict();
    void rename();
    void reset();
    // The process-wide claim on the current name (see LocalServiceNames).
    bool claimName();
    void releaseName();
    // A failure: ends a start still waiting for its answer, else a reply.
    void fail(DNSServiceErrorType code);
    // Runs the handling of a daemon event; memory that runs out on the way
    // is a failure too.
    template <typename Body>
    void orFail(Body body) noexcept {
        try {
            body();
        } catch (...) {
            if (starting_) {
                std::exchange(starting_, Settle())(kDNSServiceErr_NoMemory);
            } else if (sink_ != nullptr) {
                sink_->lose();
            }
        }
    }
    void postReply(DNSServiceErrorType code, bool afterConfirmation);

    Request request_;
    const bool followsHost_;
    std::string hostName_;                   // the host name the current name was taken from
    std::vector<std::string> publishedTxt_;  // the TXT record last sent to the daemon
    const DNSServiceRegisterReply callBack_;
    void* const context_;

    State state_ = State::Publishing;
    bool claimed_ = false;
    Channel* channel_ = nullptr;
    ReplySink* sink_ = nullptr;
    Settle starting_;  // the start's answer, until it is given
    PendingCalls calls_;
    DaemonObject group_;
    Timer confirmationDue_;
};

}  // namespace Zelm::DnsSd

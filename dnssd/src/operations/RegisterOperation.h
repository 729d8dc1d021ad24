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
        uint16_t port = 0;   // host byte order
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
    // the service is not published the record is kept for its next
    // publication.
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

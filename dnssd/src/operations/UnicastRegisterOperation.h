#pragma once

// DNSServiceRegister in a unicast domain: the registration's records go to
// the zone's primary server by DNS UPDATE (UpdateMessage.h), found by
// PrimaryLocator, signed with the configuration's key for the zone.
//
// The start's answer waits for the server's: kDNSServiceErr_NoError once the
// records are in the zone (the success reply, with the final name and
// kDNSServiceFlagsAdd, is queued first), else the failure, so that the
// caller of DNSServiceRegister learns it from the call. Names someone else
// holds are a conflict: the next alternative name is tried (as on the link)
// unless auto-renaming is off, which ends the start with
// kDNSServiceErr_NameConflict. Once confirmed, the records are refreshed
// before the lease the server granted runs out, or every kRefreshPeriodMs
// when it granted none; a failing refresh is reported once as an error reply
// and retried, and the next success is reported again. stop() sends the
// withdrawal and does not wait for its answer.
//
// Every member runs with the event loop's lock held, every handler on the
// event thread with it held.

#include "operations/UnicastOperation.h"
#include "unicast/update/PrimaryLocator.h"
#include "unicast/update/UpdateMessage.h"

#include <dns_sd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Zelm::DnsSd {

using Unicast::Update::Change;
using Unicast::Update::Prepared;
using Unicast::Update::Primary;
using Unicast::Update::PrimaryLocator;
using Unicast::Update::ServiceRecords;
using Unicast::Update::UpdateAnswer;

// The lease asked for (RFC 9664); a server may grant less, or none.
constexpr std::uint32_t kRequestedLeaseSeconds = 7200;
// Without a lease the records stay until withdrawn; a refresh at the
// keep-alive's period puts back what a server lost. Any update that went
// through starts the period again, so the keep-alive's own TXT updates leave
// nothing to add.
constexpr int kRefreshPeriodMs = 110000;
// A failed refresh is tried again this much sooner.
constexpr int kRetryMs = 10000;
// A start not settled by then ends with kDNSServiceErr_Timeout (each
// exchange ends sooner on its own, DnsClient's time-out; this bounds a
// search for the primary and the renames together).
constexpr int kStartTimeoutMs = 10000;
// The records' TTL: a browser sees a withdrawal within about this long.
constexpr std::uint32_t kRecordTtlSeconds = 120;

class UnicastRegisterOperation final : public UnicastOperation {
public:
    struct Request {
        bool autoRename = true;
        std::string name;  // the instance name, plain
        std::string type;  // "_http._tcp"
        std::vector<std::string> subtypes;
        std::string domain;  // "zelm.test", without its trailing dot
        std::string host;    // empty: this host, with its address records
        std::uint16_t port = 0;
        std::vector<std::string> txt;
    };

    UnicastRegisterOperation(Request request, DNSServiceRegisterReply callBack, void* context);
    ~UnicastRegisterOperation() override;
    UnicastRegisterOperation(const UnicastRegisterOperation&) = delete;
    UnicastRegisterOperation& operator=(const UnicastRegisterOperation&) = delete;

    void begin(const UnicastContext& context) override { open(context, Settle()); }
    void open(const UnicastContext& context, Settle started) override;

    // Replaces the TXT record. Before the confirmation, the latest record is
    // the one registered; afterwards it goes in an update of its own as soon
    // as none is on its way. Never waits for the server.
    DNSServiceErrorType updateTxt(std::vector<std::string> txt);

    // Withdraws what the registration added, without waiting for the server;
    // no reply afterwards.
    void stop() override;

private:
    enum class State {
        Locating,     // looking for the zone's primary
        Registering,  // the first update is on its way
        Registered,   // confirmed; refreshed by its timer
        Ended,        // failed or stopped
    };

    void located(DNSServiceErrorType error, const Primary& primary);
    void sendUpdate(Change change);
    void answered(Change change, const Unicast::Answer& answer);
    void registerAnswered(const UpdateAnswer& read);
    void refreshAnswered(const UpdateAnswer& read, DNSServiceErrorType error);
    void confirm(std::uint32_t leaseSeconds);
    void scheduleRefresh(int delayMs);
    void armStartTimeout();
    void fail(DNSServiceErrorType code);
    void postReply(DNSServiceErrorType code, bool afterConfirmation);
    // Runs the handling of an answer or a timer on the event thread: memory
    // that runs out fails a start still waiting, else loses the reply.
    template <typename Body>
    void guarded(Body body) noexcept {
        try {
            body();
        } catch (...) {
            if (starting_) {
                stop();
                std::exchange(starting_, Settle())(kDNSServiceErr_NoMemory);
            } else if (context_.sink != nullptr) {
                context_.sink->lose();
            }
        }
    }
    ServiceRecords records() const;
    bool findHostAddress();

    Request request_;
    const DNSServiceRegisterReply callBack_;
    void* const callerContext_;

    State state_ = State::Locating;
    Settle starting_;
    std::unique_ptr<PrimaryLocator> locator_;
    Primary primary_;
    std::optional<Unicast::Update::Key> key_;
    std::string hostName_;  // the SRV's target, with its trailing dot
    std::vector<std::array<std::uint8_t, 4>> ipv4_;
    std::vector<std::array<std::uint8_t, 16>> ipv6_;
    bool ownsHostRecords_ = false;  // counted among the host name's users
    int renames_ = 0;
    int unusableAnswers_ = 0;
    bool txtChanged_ = false;  // a TXT record not yet sent
    bool failing_ = false;     // an error reply stands since the last success
    Prepared sent_;
    Unicast::DnsClient::Request inFlight_ = 0;
    Timer refresh_;
    Timer startDue_;
    std::shared_ptr<UnicastRegisterOperation*> self_;
};

}  // namespace Zelm::DnsSd

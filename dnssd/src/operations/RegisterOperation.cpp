#include "operations/RegisterOperation.h"

#include "names/ErrorCodes.h"
#include "names/LocalServiceNames.h"
#include "names/NameRules.h"
#include "names/ServiceNames.h"
#include "names/TxtRecord.h"

namespace Zelm::DnsSd {

namespace {

// Names tried for one publication before it fails; alternative names
// ("Name #2", "Name #3", ...) are cheap to try.
constexpr int kRenameAttempts = 64;

// How long a publication may go without news from the daemon before its
// caller is told it failed: probing and announcing take about a second, and
// every step of a rename brings news.
constexpr int kConfirmationTimeoutMs = 8000;

bool sendIgnoringAnswer(DaemonObject& object, const Daemon::Method<std::tuple<>>& method,
                        PendingCalls& calls) {
    return object.call(method, calls, [](const Daemon::Reply&) {});
}

// The TXT strings as the daemon takes them. It refuses a service whose record
// holds an empty string ("Invalid record"), and drops empty strings from a
// record given as raw data, as it does from every record it receives: no way
// through the daemon puts one on the network, so they are left out.
Daemon::ByteStrings daemonTxt(const std::vector<std::string>& txt) {
    Daemon::ByteStrings strings;
    for (const std::string& text : txt) {
        if (!text.empty()) {
            strings.strings.push_back(text);
        }
    }
    return strings;
}

// The daemon's lifetime for a service's records other than its host's.
constexpr uint32_t kRecordTtl = 4500;

}  // namespace

RegisterOperation::RegisterOperation(Request request, DNSServiceRegisterReply callBack, void* context)
    : request_(std::move(request)),
      followsHost_(request_.name.empty()),
      callBack_(callBack),
      context_(context),
      group_(Daemon::kEntryGroup, *this),
      confirmationDue_([this] { orFail([this] { confirmationOverdue(); }); }) {}

RegisterOperation::~RegisterOperation() = default;

void RegisterOperation::awaitConfirmation() {
    if (channel_ != nullptr) {
        channel_->schedule(confirmationDue_, kConfirmationTimeoutMs);
    }
}

void RegisterOperation::cancelConfirmation() {
    if (channel_ != nullptr) {
        channel_->cancel(confirmationDue_);
    }
}

void RegisterOperation::confirmationOverdue() {
    if (state_ != State::Publishing && state_ != State::Republishing) {
        return;
    }
    // The daemon took the service and then went quiet: it is stopped or
    // stuck, and the caller hears so rather than wait on.
    calls_.dropAll();
    reset();
    fail(kDNSServiceErr_ServiceNotRunning);
    state_ = State::Ended;
}

bool RegisterOperation::confirmed() const {
    return state_ == State::Established || state_ == State::Republishing || state_ == State::HeldForServer ||
           state_ == State::Away;
}

void RegisterOperation::start(const DaemonContext& context, Settle settle) {
    channel_ = context.channel;
    sink_ = context.sink;
    if (request_.name.empty()) {
        request_.name = hostName_ = channel_->hostName();
        if (request_.name.empty()) {
            settle(kDNSServiceErr_ServiceNotRunning);
            return;
        }
    }
    starting_ = std::move(settle);
    state_ = State::Publishing;
    createGroup();
}

void RegisterOperation::createGroup() {
    group_.create(*channel_, Daemon::request(Daemon::kEntryGroupNew, Daemon::kServerPath), calls_, false,
                  [this](DNSServiceErrorType error) {
                      orFail([&] {
                          if (error != kDNSServiceErr_NoError) {
                              fail(error);
                          } else {
                              publish();
                          }
                      });
                  });
}

void RegisterOperation::publish(int attempt) {
    if (attempt >= kRenameAttempts) {
        fail(kDNSServiceErr_NameConflict);
        return;
    }
    if (!claimName()) {
        // This process holds the name already.
        if (!request_.autoRename) {
            conflict();
            return;
        }
        rename();
        publish(attempt + 1);
        return;
    }
    publishedTxt_ = request_.txt;
    const auto added = [this, attempt](const Daemon::Reply& reply) {
        orFail([&] { onServiceAdded(reply.error, attempt); });
    };
    const bool sent =
        reservation() ? reserveName(added)
                      : group_.call(Daemon::kAddService, calls_, added, request_.interface,
                                    Daemon::kAnyProtocol, 0u, request_.name, request_.type, request_.domain,
                                    request_.host, request_.port, daemonTxt(request_.txt));
    if (!sent) {
        releaseName();
        fail(kDNSServiceErr_NoMemory);
        return;
    }
    awaitConfirmation();
}

void RegisterOperation::onServiceAdded(DNSServiceErrorType error, int attempt) {
    if (error == kDNSServiceErr_NameConflict) {
        // Another service of this host holds the name.
        releaseName();
        if (!request_.autoRename) {
            conflict();
            return;
        }
        rename();
        publish(attempt + 1);
    } else if (error != kDNSServiceErr_NoError) {
        reset();
        fail(error);
    } else {
        addSubtype(0);
    }
}

void RegisterOperation::addSubtype(size_t index) {
    if (index == request_.subtypes.size() || reservation()) {
        commit();
        return;
    }
    const bool sent = group_.call(
        Daemon::kAddServiceSubtype, calls_,
        [this, index](const Daemon::Reply& reply) {
            orFail([&] {
                if (reply.error != kDNSServiceErr_NoError) {
                    reset();
                    fail(reply.error);
                } else {
                    addSubtype(index + 1);
                }
            });
        },
        request_.interface, Daemon::kAnyProtocol, 0u, request_.name, request_.type, request_.domain,
        subtypeName(request_.subtypes[index], request_.type));
    if (!sent) {
        reset();
        fail(kDNSServiceErr_NoMemory);
    }
}

void RegisterOperation::commit() {
    const bool sent = group_.call(Daemon::kCommit, calls_, [this](const Daemon::Reply& reply) {
        orFail([&] {
            if (reply.error != kDNSServiceErr_NoError) {
                reset();
                fail(reply.error);
            } else if (starting_) {
                // Accepted: the confirmation comes as the group's state.
                std::exchange(starting_, Settle())(kDNSServiceErr_NoError);
            }
        });
    });
    if (!sent) {
        reset();
        fail(kDNSServiceErr_NoMemory);
    }
}

void RegisterOperation::reset() {
    releaseName();
    sendIgnoringAnswer(group_, Daemon::kReset, calls_);
}

void RegisterOperation::conflict() {
    reset();
    const bool afterConfirmation = confirmed();
    state_ = State::GaveUp;
    if (starting_) {
        // Accepted all the same: the conflict is the start's reply.
        std::exchange(starting_, Settle())(kDNSServiceErr_NoError);
    }
    postReply(kDNSServiceErr_NameConflict, afterConfirmation);
}

void RegisterOperation::rename() {
    releaseName();
    request_.name = alternativeName(request_.name);
}

bool RegisterOperation::claimName() {
    releaseName();
    claimed_ = LocalServiceNames::claim(request_.name, request_.type, request_.domain);
    return claimed_;
}

void RegisterOperation::releaseName() {
    if (claimed_) {
        LocalServiceNames::release(request_.name, request_.type, request_.domain);
        claimed_ = false;
    }
}

void RegisterOperation::fail(DNSServiceErrorType code) {
    if (starting_) {
        std::exchange(starting_, Settle())(code);
        return;
    }
    const bool afterConfirmation = confirmed();
    if (!afterConfirmation) {
        state_ = State::Ended;
    }
    postReply(publicCode(code), afterConfirmation);
}

void RegisterOperation::onSignal(const Daemon::Incoming& signal) {
    if (const auto changed = Daemon::read(Daemon::kGroupStateChanged, signal)) {
        const auto& [state, error] = *changed;
        orFail([&] { onGroupState(static_cast<Daemon::GroupState>(state), fromDaemonError(error.c_str())); });
    }
}

void RegisterOperation::onGroupState(Daemon::GroupState state, DNSServiceErrorType error) {
    switch (state) {
        case Daemon::GroupState::Established:
            if (state_ == State::Publishing || state_ == State::Republishing) {
                const bool again = state_ == State::Republishing;
                cancelConfirmation();
                state_ = State::Established;
                if (publishedTxt_ != request_.txt) {
                    // Updated while unconfirmed: the daemon still has the old record.
                    sendTxt(calls_, [](const Daemon::Reply&) {});
                }
                postReply(kDNSServiceErr_NoError, again);
            }
            break;
        case Daemon::GroupState::Collision:
            // Another host claims the name.
            if (!request_.autoRename) {
                conflict();
                break;
            }
            rename();
            sendIgnoringAnswer(group_, Daemon::kReset, calls_);
            if (state_ == State::Established) {
                state_ = State::Republishing;
            }
            publish();
            break;
        case Daemon::GroupState::Failure:
            reset();
            fail(error);
            state_ = State::Ended;
            break;
        case Daemon::GroupState::Registering:
            if (state_ == State::Publishing || state_ == State::Republishing) {
                awaitConfirmation();  // probing: news from the daemon
            }
            break;
        case Daemon::GroupState::Uncommitted:
            break;
    }
}

void RegisterOperation::serverStateChanged(Daemon::ServerState state) {
    // While the daemon settles a new host name its services must wait, and
    // they come back under it: withdraw, then publish again once it runs.
    const bool settling =
        state == Daemon::ServerState::Registering || state == Daemon::ServerState::Collision;
    if (settling && !starting_ &&
        (state_ == State::Publishing || state_ == State::Established || state_ == State::Republishing)) {
        calls_.dropAll();
        reset();
        state_ = state_ == State::Publishing ? State::WaitingForServer : State::HeldForServer;
    } else if (state == Daemon::ServerState::Running &&
               (state_ == State::WaitingForServer || state_ == State::HeldForServer)) {
        publishAfterSettling();
    }
}

void RegisterOperation::publishAfterSettling() {
    state_ = state_ == State::WaitingForServer ? State::Publishing : State::Republishing;
    if (!followsHost_) {
        publish();
        return;
    }
    const bool asked = calls_.send(*channel_, Daemon::request(Daemon::kGetHostName, Daemon::kServerPath),
                                   [this](const Daemon::Reply& reply) {
                                       orFail([&] {
                                           const auto host = Daemon::read(Daemon::kGetHostName, reply);
                                           takeHostName(host ? std::get<0>(*host) : std::string());
                                           publish();
                                       });
                                   });
    if (!asked) {
        publish();
    }
}

void RegisterOperation::takeHostName(const std::string& host) {
    if (followsHost_ && !host.empty() && host != hostName_) {
        releaseName();
        request_.name = hostName_ = host;
    }
}

void RegisterOperation::forgetDaemon() {
    cancelConfirmation();
    channel_ = nullptr;
    calls_.dropAll();
    group_.forget();
    releaseName();
    starting_.reset();
}

bool RegisterOperation::daemonLost() {
    cancelConfirmation();
    channel_ = nullptr;  // closed once unused; resume() brings the next one
    calls_.dropAll();
    group_.forget();
    if (confirmed() || state_ == State::GaveUp) {
        // The name stays claimed in the process for the publication to come.
        if (state_ != State::GaveUp) {
            state_ = State::Away;
        }
        return true;
    }
    releaseName();
    fail(kDNSServiceErr_ServiceNotRunning);
    state_ = State::Ended;
    return false;
}

void RegisterOperation::resume(const DaemonContext& context) {
    channel_ = context.channel;
    if (state_ != State::Away) {
        return;  // withdrawn after a conflict; stays so
    }
    state_ = State::Republishing;
    takeHostName(channel_->hostName());
    createGroup();
}

void RegisterOperation::stop() {
    cancelConfirmation();
    starting_.reset();
    calls_.dropAll();
    // Freeing the group withdraws the service from the network.
    group_.free();
    releaseName();
    state_ = State::Ended;
}

void RegisterOperation::updateTxt(std::vector<std::string> txt, PendingCalls& call, Settle::Function done) {
    request_.txt = std::move(txt);
    switch (state_) {
        case State::Away:
        case State::Ended:
            done(kDNSServiceErr_ServiceNotRunning);
            return;
        case State::GaveUp:
            done(kDNSServiceErr_BadState);
            return;
        case State::Established:
            break;
        default:
            done(kDNSServiceErr_NoError);  // sent once confirmed, or with the next publication
            return;
    }
    if (channel_ == nullptr || !sendTxt(call, [done](const Daemon::Reply& reply) { done(reply.error); })) {
        done(kDNSServiceErr_NoMemory);
    }
}

bool RegisterOperation::reserveName(Channel::Handler added) {
    std::string target;
    const std::string host =
        request_.host.empty() ? channel_->hostName() + '.' + channel_->domainName() : request_.host;
    if (!toWireName(host, target)) {
        return false;
    }
    // Priority, weight and port 0, then the target.
    return addRecord(
        calls_, Daemon::kPublishUnique, Daemon::kTypeSRV, std::string(6, '\0') + target,
        [this, added](const Daemon::Reply& reply) {
            orFail([&] {
                if (reply.error != kDNSServiceErr_NoError ||
                    !addRecord(calls_, Daemon::kPublishUnique, Daemon::kTypeTXT,
                               txtRecordBytes(daemonTxt(request_.txt).strings), added)) {
                    added(Daemon::Reply{
                        reply.error != kDNSServiceErr_NoError ? reply.error : kDNSServiceErr_NoMemory, {}});
                }
            });
        });
}

bool RegisterOperation::addRecord(PendingCalls& calls, uint32_t flags, uint16_t type, std::string data,
                                  Channel::Handler done) {
    return group_.call(Daemon::kAddRecord, calls, std::move(done), request_.interface, Daemon::kAnyProtocol,
                       flags, instanceName(), Daemon::kClassIN, type, kRecordTtl,
                       Daemon::Bytes{std::move(data)});
}

bool RegisterOperation::sendTxt(PendingCalls& calls, Channel::Handler done) {
    publishedTxt_ = request_.txt;
    if (reservation()) {
        return addRecord(calls, Daemon::kPublishUnique | Daemon::kPublishUpdate, Daemon::kTypeTXT,
                         txtRecordBytes(daemonTxt(request_.txt).strings), std::move(done));
    }
    return group_.call(Daemon::kUpdateServiceTxt, calls, std::move(done), request_.interface,
                       Daemon::kAnyProtocol, 0u, request_.name, request_.type, request_.domain,
                       daemonTxt(request_.txt));
}

std::string RegisterOperation::domainInUse() const {
    const std::string& domain =
        request_.domain.empty() && channel_ != nullptr ? channel_->domainName() : request_.domain;
    return domain.empty() ? "local" : domain;
}

std::string RegisterOperation::instanceName() const {
    return withoutTrailingDot(fullServiceName(request_.name, request_.type, domainInUse()));
}

void RegisterOperation::postReply(DNSServiceErrorType code, bool afterConfirmation) {
    const DNSServiceFlags flags = code == kDNSServiceErr_NoError ? kDNSServiceFlagsAdd : 0;
    sink_->post(
        [callBack = callBack_, context = context_, flags, code, name = request_.name,
         type = withTrailingDot(request_.type),
         domain = withTrailingDot(domainInUse())](DNSServiceRef ref, DNSServiceFlags more) {
            callBack(ref, flags | more, code, name.c_str(), type.c_str(), domain.c_str(), context);
        },
        // Once confirmed, nobody need read the replies of later
        // publications: each one replaces an unread one before it.
        afterConfirmation);
}

}  // namespace Zelm::DnsSd

#include "operations/RegisterOperation.h"

#include "names/ErrorCodes.h"
#include "names/LocalServiceNames.h"
#include "names/NameRules.h"
#include "names/ServiceNames.h"

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

// The TXT strings as the daemon takes them. It refuses a record holding an
// empty string ("Invalid record"); an empty string carries nothing, so it is
// left out.
Daemon::ByteStrings daemonTxt(const std::vector<std::string>& txt) {
    Daemon::ByteStrings strings;
    for (const std::string& text : txt) {
        if (!text.empty()) {
            strings.strings.push_back(text);
        }
    }
    return strings;
}

}  // namespace

RegisterOperation::RegisterOperation(Request request, DNSServiceRegisterReply callBack, void* context)
    : request_(std::move(request)),
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
        request_.name = channel_->hostName();
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
    const bool sent = group_.call(
        Daemon::kAddService, calls_,
        [this, attempt](const Daemon::Reply& reply) {
            orFail([&] { onServiceAdded(reply.error, attempt); });
        },
        request_.interface, Daemon::kAnyProtocol, 0u, request_.name, request_.type, request_.domain,
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
    if (index == request_.subtypes.size()) {
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
        reset();
        state_ = state_ == State::Publishing ? State::WaitingForServer : State::HeldForServer;
    } else if (state == Daemon::ServerState::Running &&
               (state_ == State::WaitingForServer || state_ == State::HeldForServer)) {
        state_ = state_ == State::WaitingForServer ? State::Publishing : State::Republishing;
        publish();
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
            done(kDNSServiceErr_NoError);  // the next publication carries the new record
            return;
    }
    const bool sent = channel_ != nullptr && group_.call(
                                                 Daemon::kUpdateServiceTxt, call,
                                                 [done](const Daemon::Reply& reply) { done(reply.error); },
                                                 request_.interface, Daemon::kAnyProtocol, 0u, request_.name,
                                                 request_.type, request_.domain, daemonTxt(request_.txt));
    if (!sent) {
        done(kDNSServiceErr_NoMemory);
    }
}

void RegisterOperation::postReply(DNSServiceErrorType code, bool afterConfirmation) {
    const std::string& domain =
        request_.domain.empty() && channel_ != nullptr ? channel_->domainName() : request_.domain;
    const DNSServiceFlags flags = code == kDNSServiceErr_NoError ? kDNSServiceFlagsAdd : 0;
    sink_->post(
        [callBack = callBack_, context = context_, flags, code, name = request_.name,
         type = withTrailingDot(request_.type), domain = withTrailingDot(domain.empty() ? "local" : domain)](
            DNSServiceRef ref, DNSServiceFlags more) {
            callBack(ref, flags | more, code, name.c_str(), type.c_str(), domain.c_str(), context);
        },
        // Once confirmed, nobody need read the replies of later
        // publications: each one replaces an unread one before it.
        afterConfirmation);
}

}  // namespace Zelm::DnsSd

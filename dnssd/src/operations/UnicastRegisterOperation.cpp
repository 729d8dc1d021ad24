#include "operations/UnicastRegisterOperation.h"

#include "names/ServiceNames.h"
#include "unicast/update/UpdateConfig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <utility>

namespace Zelm::DnsSd {

using namespace Unicast;
using namespace Unicast::Update;

namespace {

// Alternative names tried for one registration, as on the link.
constexpr int kRenameAttempts = 64;
// Answers that do not verify, in a row, before the exchange counts as unanswered.
constexpr int kUnusableAnswers = 3;
// A lease is renewed when this share of it has passed.
constexpr std::uint64_t kRenewPerMille = 750;

// The registrations of this process that use a host name's address records
// at one server: the last one to go withdraws them. Guarded by the event
// loop's lock; freed when empty.
std::map<std::string, int>* hostUsers = nullptr;

int& hostUsersOf(const std::string& key) {
    if (hostUsers == nullptr) {
        hostUsers = new std::map<std::string, int>();
    }
    return (*hostUsers)[key];
}

// True when this was the last user.
bool releaseHost(const std::string& key) {
    if (hostUsers == nullptr) {
        return true;
    }
    const auto found = hostUsers->find(key);
    const bool last = found == hostUsers->end() || --found->second <= 0;
    if (found != hostUsers->end() && found->second <= 0) {
        hostUsers->erase(found);
    }
    if (hostUsers->empty()) {
        delete std::exchange(hostUsers, nullptr);
    }
    return last;
}

bool hostInUse(const std::string& key) { return hostUsers != nullptr && hostUsers->count(key) != 0; }

// The machine's host name up to its first dot.
std::string machineHostLabel() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    const std::string label(name);
    return label.substr(0, label.find('.'));
}

int renewDelayMs(std::uint32_t leaseSeconds) {
    if (leaseSeconds == 0) {
        return kRefreshPeriodMs;
    }
    const std::uint64_t ms = std::uint64_t{leaseSeconds} * kRenewPerMille;
    return static_cast<int>(std::clamp<std::uint64_t>(ms, 1000, INT_MAX));
}

}  // namespace

UnicastRegisterOperation::UnicastRegisterOperation(Request request, DNSServiceRegisterReply callBack,
                                                   void* context)
    : request_(std::move(request)),
      callBack_(callBack),
      callerContext_(context),
      refresh_([this] {
          guarded([this] {
              if (inFlight_ == 0 && state_ == State::Registered) {
                  sendUpdate(Change::Refresh);
              }
          });
      }),
      startDue_([this] { guarded([this] { fail(kDNSServiceErr_Timeout); }); }),
      self_(std::make_shared<UnicastRegisterOperation*>(this)) {}

// Touches no transport or timer: stop() or a failure left none armed, and a
// forked child may drop its parent's registration.
UnicastRegisterOperation::~UnicastRegisterOperation() { *self_ = nullptr; }

void UnicastRegisterOperation::open(const UnicastContext& context, Settle started) {
    context_ = context;
    starting_ = std::move(started);
    if (request_.name.empty()) {
        request_.name = machineHostLabel();  // as the daemon names a registration without a name
    }
    UpdateConfig config;
    const UpdateConfig::Status status = UpdateConfig::load(UpdateConfig::path(), config);
    if (status == UpdateConfig::Status::Rejected) {
        fail(kDNSServiceErr_NoAuth);  // its keys cannot be trusted, so none is used
        return;
    }
    const ZoneSettings* settings = config.forDomain(request_.domain);
    if (settings != nullptr) {
        key_ = settings->key;
        hostName_ = settings->hostName;
    }
    armStartTimeout();
    locator_ = std::make_unique<PrimaryLocator>(*context_.client);
    locator_->start(request_.domain, settings,
                    [self = self_](DNSServiceErrorType error, const Primary& primary) {
                        if (UnicastRegisterOperation* registration = *self) {
                            registration->guarded([&] { registration->located(error, primary); });
                        }
                    });
}

void UnicastRegisterOperation::located(DNSServiceErrorType error, const Primary& primary) {
    if (state_ != State::Locating) {
        return;
    }
    if (error != kDNSServiceErr_NoError) {
        fail(error);
        return;
    }
    primary_ = primary;
    if (!request_.host.empty()) {
        hostName_ = withTrailingDot(request_.host);  // another host's records: not ours to add
    } else {
        if (hostName_.empty()) {
            hostName_ = escapeLabel(machineHostLabel());
        }
        if (!endsWithUnescapedDot(hostName_)) {
            hostName_ += "." + primary_.zone;
        }
        if (!findHostAddress()) {
            fail(kDNSServiceErr_NoRouter);
            return;
        }
    }
    state_ = State::Registering;
    sendUpdate(Change::Register);
}

// The address this host sends from towards the server: the one that reaches
// it, so the one a browser there can reach. A connected UDP socket sends nothing.
bool UnicastRegisterOperation::findHostAddress() {
    sockaddr_storage server{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&server);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&server);
    if (::inet_pton(AF_INET, primary_.server.address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(primary_.server.port);
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, primary_.server.address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(primary_.server.port);
        length = sizeof *v6;
    } else {
        return false;
    }
    const int fd = ::socket(server.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    const bool found = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&server), length) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!found) {
        return false;
    }
    if (local.ss_family == AF_INET) {
        auto& address = ipv4_.emplace_back();
        std::memcpy(address.data(), &reinterpret_cast<sockaddr_in*>(&local)->sin_addr, address.size());
    } else {
        auto& address = ipv6_.emplace_back();
        std::memcpy(address.data(), &reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr, address.size());
    }
    return true;
}

ServiceRecords UnicastRegisterOperation::records() const {
    ServiceRecords records;
    records.zone = primary_.zone;
    const std::string domain = withTrailingDot(request_.domain);
    records.type = request_.type + "." + domain;
    records.instance = escapeLabel(request_.name) + "." + records.type;
    for (const std::string& subtype : request_.subtypes) {
        records.subtypes.push_back(subtypeName(subtype, request_.type) + "." + domain);
    }
    records.host = hostName_;
    records.port = request_.port;
    records.txt = request_.txt;
    records.ipv4 = ipv4_;
    records.ipv6 = ipv6_;
    records.ttl = kRecordTtlSeconds;
    return records;
}

void UnicastRegisterOperation::sendUpdate(Change change) {
    BuildFailure failure = BuildFailure::kNone;
    std::optional<Prepared> prepared;
    try {
        prepared =
            buildUpdate(change, records(), key_ ? &*key_ : nullptr, kRequestedLeaseSeconds, false, &failure);
    } catch (const std::bad_alloc&) {
        failure = BuildFailure::kNone;
    }
    if (!prepared) {
        const DNSServiceErrorType code = failure == BuildFailure::kKey    ? kDNSServiceErr_NoAuth
                                         : failure == BuildFailure::kName ? kDNSServiceErr_BadParam
                                                                          : kDNSServiceErr_NoMemory;
        if (state_ == State::Registered) {
            refreshAnswered(UpdateAnswer{}, code);
        } else {
            fail(code);
        }
        return;
    }
    txtChanged_ = false;
    sent_ = std::move(*prepared);
    // The answer may come before send() returns (a failure found at once).
    auto ended = std::make_shared<bool>(false);
    const Unicast::DnsClient::Request request = context_.client->send(
        primary_.server, sent_.wire, [self = self_, change, ended](const Answer& answer) {
            *ended = true;
            if (UnicastRegisterOperation* registration = *self) {
                registration->guarded([&] { registration->answered(change, answer); });
            }
        });
    if (!*ended) {
        inFlight_ = request;
    }
}

void UnicastRegisterOperation::answered(Change change, const Answer& answer) {
    if (answer.outcome == Outcome::kCancelled) {
        return;
    }
    inFlight_ = 0;
    UpdateAnswer read;
    DNSServiceErrorType error = kDNSServiceErr_NoError;
    if (answer.outcome != Outcome::kAnswered) {
        error = answer.outcome == Outcome::kNoMemory ? kDNSServiceErr_NoMemory : kDNSServiceErr_Timeout;
    } else {
        read = readUpdateAnswer(answer.message, sent_, key_ ? &*key_ : nullptr);
        if (read.verdict == UpdateAnswer::Verdict::Unusable) {
            // Not the server's word (a forgery, or a broken answer): ask again.
            if (++unusableAnswers_ < kUnusableAnswers) {
                sendUpdate(change);
                return;
            }
            error = kDNSServiceErr_Timeout;
        }
    }
    unusableAnswers_ = 0;
    if (state_ == State::Registering) {
        if (error != kDNSServiceErr_NoError) {
            fail(error);
        } else {
            registerAnswered(read);
        }
    } else if (state_ == State::Registered) {
        refreshAnswered(read, error);
    }
}

void UnicastRegisterOperation::registerAnswered(const UpdateAnswer& read) {
    switch (read.verdict) {
        case UpdateAnswer::Verdict::Done:
            confirm(read.leaseSeconds);
            break;
        case UpdateAnswer::Verdict::InUse:
            if (!request_.autoRename || ++renames_ > kRenameAttempts) {
                fail(kDNSServiceErr_NameConflict);
                break;
            }
            request_.name = alternativeName(request_.name);
            sendUpdate(Change::Register);
            break;
        case UpdateAnswer::Verdict::Refused:
            fail(kDNSServiceErr_NoAuth);
            break;
        default:
            fail(kDNSServiceErr_Unknown);
            break;
    }
}

void UnicastRegisterOperation::confirm(std::uint32_t leaseSeconds) {
    context_.timers->cancel(startDue_);
    state_ = State::Registered;
    if (request_.host.empty()) {
        ++hostUsersOf(primary_.server.address + " " + hostName_);
        ownsHostRecords_ = true;
    }
    postReply(kDNSServiceErr_NoError, false);
    std::exchange(starting_, Settle())(kDNSServiceErr_NoError);
    if (txtChanged_) {
        sendUpdate(Change::Refresh);
    } else {
        scheduleRefresh(renewDelayMs(leaseSeconds));
    }
}

void UnicastRegisterOperation::refreshAnswered(const UpdateAnswer& read, DNSServiceErrorType error) {
    if (error == kDNSServiceErr_NoError) {
        error = read.verdict == UpdateAnswer::Verdict::Done      ? kDNSServiceErr_NoError
                : read.verdict == UpdateAnswer::Verdict::Refused ? kDNSServiceErr_NoAuth
                                                                 : kDNSServiceErr_Unknown;
    }
    if (error == kDNSServiceErr_NoError) {
        if (std::exchange(failing_, false)) {
            postReply(kDNSServiceErr_NoError, true);
        }
        if (txtChanged_) {
            sendUpdate(Change::Refresh);
        } else {
            scheduleRefresh(renewDelayMs(read.leaseSeconds));
        }
        return;
    }
    if (!std::exchange(failing_, true)) {
        postReply(error, true);
    }
    scheduleRefresh(kRetryMs);
}

DNSServiceErrorType UnicastRegisterOperation::updateTxt(std::vector<std::string> txt) {
    if (state_ == State::Ended) {
        return kDNSServiceErr_ServiceNotRunning;
    }
    request_.txt = std::move(txt);
    txtChanged_ = true;
    if (state_ == State::Registered && inFlight_ == 0) {
        context_.timers->cancel(refresh_);
        sendUpdate(Change::Refresh);
    }
    return kDNSServiceErr_NoError;
}

void UnicastRegisterOperation::stop() {
    const State was = std::exchange(state_, State::Ended);
    if (context_.timers != nullptr) {
        context_.timers->cancel(refresh_);
        context_.timers->cancel(startDue_);
    }
    locator_.reset();
    UnicastOperation::stop();
    if (inFlight_ != 0) {
        context_.client->cancel(std::exchange(inFlight_, 0));
    }
    if (was != State::Registering && was != State::Registered) {
        return;
    }
    // The host's address records go with the last registration of this
    // process that uses them; one whose first update is unanswered may have
    // added them too.
    try {
        const std::string host = primary_.server.address + " " + hostName_;
        const bool withdrawHost =
            request_.host.empty() &&
            (std::exchange(ownsHostRecords_, false) ? releaseHost(host) : !hostInUse(host));
        if (auto withdrawal =
                buildUpdate(Change::Withdraw, records(), key_ ? &*key_ : nullptr, 0, withdrawHost)) {
            context_.client->send(primary_.server, std::move(withdrawal->wire), [](const Answer&) {});
        }
    } catch (const std::bad_alloc&) {
        // Left in the zone: as when the server cannot be reached.
    }
}

void UnicastRegisterOperation::scheduleRefresh(int delayMs) { context_.timers->schedule(refresh_, delayMs); }

void UnicastRegisterOperation::armStartTimeout() { context_.timers->schedule(startDue_, kStartTimeoutMs); }

void UnicastRegisterOperation::fail(DNSServiceErrorType code) {
    // Only an unanswered first update may have added records: those are
    // withdrawn, on the condition that they are this registration's.
    if (code != kDNSServiceErr_Timeout) {
        state_ = State::Ended;
    }
    stop();
    if (starting_) {
        std::exchange(starting_, Settle())(code);
    } else {
        postReply(code, false);
    }
}

void UnicastRegisterOperation::postReply(DNSServiceErrorType code, bool afterConfirmation) {
    const DNSServiceFlags flags = code == kDNSServiceErr_NoError ? kDNSServiceFlagsAdd : 0;
    orLose(context_.sink, [&] {
        context_.sink->post(
            [callBack = callBack_, context = callerContext_, flags, code, name = request_.name,
             type = withTrailingDot(request_.type),
             domain = withTrailingDot(request_.domain)](DNSServiceRef ref, DNSServiceFlags more) {
                callBack(ref, flags | more, code, name.c_str(), type.c_str(), domain.c_str(), context);
            },
            afterConfirmation);
    });
}

}  // namespace Zelm::DnsSd

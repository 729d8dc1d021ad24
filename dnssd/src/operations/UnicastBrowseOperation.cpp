#include "operations/UnicastBrowseOperation.h"

#include "names/NameRules.h"
#include "names/ServiceNames.h"
#include "unicast/DnsAnswer.h"

#include <arpa/nameser.h>

#include <algorithm>

namespace Zelm::DnsSd {

namespace {

constexpr std::uint32_t kShortestRefreshSeconds = 1;
constexpr std::uint32_t kLongestRefreshSeconds = 3600;
constexpr std::uint32_t kEmptyRefreshSeconds = 60;
constexpr int kFirstRetryMs = 1000;
constexpr int kLongestRetryMs = 60000;

std::vector<std::string> lowerLabels(const std::string& name) {
    std::vector<std::string> labels;
    (void)parseDnsName(name, labels);  // the start call checked it
    for (std::string& label : labels) {
        label = asciiLower(std::move(label));
    }
    return labels;
}

}  // namespace

UnicastBrowseOperation::UnicastBrowseOperation(Kind kind, std::string browsed, std::string type,
                                               std::string domain, DNSServiceBrowseReply callBack,
                                               void* context)
    : kind_(kind),
      question_(browsed + "." + domain + "."),
      type_(std::move(type)),
      domain_(std::move(domain)),
      expectedLabels_(lowerLabels(kind == Kind::Instances ? type_ + "." + domain_ : domain_)),
      callBack_(callBack),
      userContext_(context),
      // A question the timer cannot ask for lack of memory fails the
      // reference rather than leave the browse silent.
      refreshTimer_([this] { orLose(context_.sink, [this] { refresh(); }); }) {}

void UnicastBrowseOperation::begin(const UnicastContext& context) {
    context_ = context;
    refresh();
}

void UnicastBrowseOperation::stop() {
    if (context_.timers != nullptr) {
        context_.timers->cancel(refreshTimer_);
    }
    UnicastOperation::stop();
}

void UnicastBrowseOperation::refresh() {
    ask(question_, ns_t_ptr, [this](const Unicast::Answer& answer) { onAnswer(answer); });
}

void UnicastBrowseOperation::onAnswer(const Unicast::Answer& answer) {
    const Unicast::ReadAnswer read = answer.outcome == Unicast::Outcome::kAnswered
                                         ? Unicast::readAnswer(answer.message, question_, ns_t_ptr)
                                         : Unicast::ReadAnswer{};
    if (!read.valid && answer.outcome != Unicast::Outcome::kNoAnswer) {
        onFailure(answer.outcome == Unicast::Outcome::kAnswered ? Unicast::Outcome::kTimedOut
                                                                : answer.outcome);
        return;
    }
    // An error RCODE (NXDOMAIN, REFUSED for a domain the server does not
    // serve) is an answer with nothing in it.
    const Clock::time_point now = Clock::now();
    std::map<std::string, Item> current;
    std::uint32_t shortest = kLongestRefreshSeconds;
    for (const Unicast::Record& record : read.records) {
        std::string key;
        Item item;
        if (record.names.size() != 1 || !itemOf(record.names.front(), key, item)) {
            continue;
        }
        item.expires = now + std::chrono::seconds(record.ttl);
        shortest = std::min(shortest, record.ttl);
        current.insert_or_assign(std::move(key), std::move(item));
    }
    for (const auto& [key, item] : items_) {
        if (current.count(key) == 0) {
            post(0, item);
        }
    }
    for (auto& [key, item] : current) {
        const auto known = items_.find(key);
        if (known == items_.end()) {
            post(kDNSServiceFlagsAdd, item);
        } else {
            // Removed later by the name it was added with, whatever case comes now.
            item.name = known->second.name;
            item.type = known->second.type;
        }
    }
    items_ = std::move(current);
    answered_ = true;
    failures_ = 0;
    const std::uint32_t seconds =
        read.records.empty() ? kEmptyRefreshSeconds : std::max(shortest, kShortestRefreshSeconds);
    again(static_cast<int>(seconds * 1000));
}

void UnicastBrowseOperation::onFailure(Unicast::Outcome outcome) {
    if (outcome == Unicast::Outcome::kNoMemory) {
        context_.sink->lose();
        return;
    }
    if (!answered_) {
        answered_ = true;
        context_.sink->post([callBack = callBack_, context = userContext_](DNSServiceRef ref,
                                                                           DNSServiceFlags more) {
            callBack(ref, more, kDNSServiceInterfaceIndexAny, kDNSServiceErr_Timeout, "", "", "", context);
        });
    }
    // What no server confirms stays until its TTL runs out.
    const Clock::time_point now = Clock::now();
    for (auto it = items_.begin(); it != items_.end();) {
        if (it->second.expires <= now) {
            post(0, it->second);
            it = items_.erase(it);
        } else {
            ++it;
        }
    }
    const int delayMs = std::min(kLongestRetryMs, kFirstRetryMs << std::min(failures_, 6));
    ++failures_;
    again(delayMs);
}

bool UnicastBrowseOperation::itemOf(const std::vector<std::string>& target, std::string& key,
                                    Item& item) const {
    const std::size_t own = kind_ == Kind::Instances ? 1 : 2;
    if (target.size() != own + expectedLabels_.size() ||
        !std::equal(expectedLabels_.begin(), expectedLabels_.end(), target.begin() + static_cast<long>(own),
                    [](const std::string& expected, const std::string& label) {
                        return expected == asciiLower(label);
                    })) {
        return false;
    }
    if (kind_ == Kind::Instances) {
        key = asciiLower(target[0]);
        item.name = target[0];
        item.type = type_ + ".";
        return true;
    }
    key = asciiLower(target[0] + "." + target[1]);
    item.name = target[0];
    item.type = escapeLabel(target[1]) + "." + withTrailingDot(domain_);
    return true;
}

void UnicastBrowseOperation::post(DNSServiceFlags flags, const Item& item) {
    std::string domain = kind_ == Kind::Instances ? withTrailingDot(domain_) : ".";
    context_.sink->post([callBack = callBack_, context = userContext_, flags, name = item.name,
                         type = item.type,
                         domain = std::move(domain)](DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, flags | more, kDNSServiceInterfaceIndexAny, kDNSServiceErr_NoError, name.c_str(),
                 type.c_str(), domain.c_str(), context);
    });
}

void UnicastBrowseOperation::again(int delayMs) {
    if (!stopped_ && !context_.timers->schedule(refreshTimer_, delayMs)) {
        context_.sink->lose();
    }
}

}  // namespace Zelm::DnsSd

#pragma once

#include "operations/UnicastOperation.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace Zelm::DnsSd {

// DNSServiceBrowse in a unicast domain: the PTR records of
// "<browsed>.<domain>." (a type, a subtype's "_printer._sub._ipp._tcp", or
// "_services._dns-sd._udp" for the service types), asked again while the
// browse runs, as soon as the shortest TTL among them has passed (at least
// 1 s, at most an hour; a minute when there are none). An instance in an
// answer that was not in the last one is added (kDNSServiceFlagsAdd), one
// missing from an answer is removed (flags 0). When no server answers, the
// instances stay until their own TTL runs out, the question is asked again
// with a growing pause (1 s doubling to 60 s), and the first such failure
// before any answer posts one error reply, kDNSServiceErr_Timeout; the
// browse goes on. Replies carry kDNSServiceInterfaceIndexAny: a unicast
// answer belongs to no interface. Service types are replied as on the link:
// "_http" as the name, "_tcp.<domain>." as the type, "." as the domain.
class UnicastBrowseOperation final : public UnicastOperation {
public:
    enum class Kind { Instances, ServiceTypes };

    // `type` is the service type ("_ipp._tcp") the instances belong to, and
    // `browsed` the name asked for, without the domain; `domain` without its
    // trailing dot.
    UnicastBrowseOperation(Kind kind, std::string browsed, std::string type, std::string domain,
                           DNSServiceBrowseReply callBack, void* context);

    void begin(const UnicastContext& context) override;
    void stop() override;

private:
    using Clock = std::chrono::steady_clock;
    struct Item {
        std::string name;  // as replied
        std::string type;
        Clock::time_point expires;
    };

    void refresh();
    void onAnswer(const Unicast::Answer& answer);
    void onFailure(Unicast::Outcome outcome);
    // The item a PTR target names, keyed by its labels in lower case; false
    // when it lies outside what is browsed.
    bool itemOf(const std::vector<std::string>& target, std::string& key, Item& item) const;
    void post(DNSServiceFlags flags, const Item& item);
    void again(int delayMs);

    const Kind kind_;
    const std::string question_;               // "<browsed>.<domain>."
    const std::string type_;                   // "_ipp._tcp"
    const std::string domain_;                 // as asked, without its trailing dot
    std::vector<std::string> expectedLabels_;  // what follows the item's own labels, lower case
    const DNSServiceBrowseReply callBack_;
    void* const userContext_;

    std::map<std::string, Item> items_;
    Timer refreshTimer_;
    int failures_ = 0;
    bool answered_ = false;  // an answer, or the error reply, went out
};

}  // namespace Zelm::DnsSd

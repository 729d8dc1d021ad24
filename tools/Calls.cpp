#include "Calls.h"

#include <dns_sd.h>
#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>

#include <sys/socket.h>

#include <cstdint>

namespace Zelm::Tool {

namespace {

// The plug-in answers a lookup or a resolution within this time or not at all.
constexpr unsigned int kAnswerTimeoutMs = 4000;

// The codes the plug-in returns; the rest share one text.
const char* codeText(int code) {
    switch (code) {
        case kDNSServiceErr_NoMemory:
            return "out of memory";
        case kDNSServiceErr_BadParam:
            return "bad parameter";
        case kDNSServiceErr_BadReference:
            return "bad reference";
        case kDNSServiceErr_NotInitialized:
            return "no answer";
        case kDNSServiceErr_NameConflict:
            return "name conflict";
        case kDNSServiceErr_Invalid:
            return "invalid name or index";
        case kDNSServiceErr_ServiceNotRunning:
            return "DNS-SD daemon not running";
        default:
            return "DNS-SD error";
    }
}

std::string codeAndText(int code) { return "code " + std::to_string(code) + " (" + codeText(code) + ")"; }

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

Outcome judge(const WatchedCall& call, const Zelm::Error& result, bool answered) {
    Outcome outcome;
    outcome.code = static_cast<int32_t>(result.code());
    outcome.timeoutMs = call.timeoutMs();
    outcome.startMs = call.startMs();
    // A request that never started returned the code of its refused start;
    // one that did start and found nothing ends with a line saying its time
    // was up, or with no code at all when it was cut off before processing.
    const bool started = !call.startRefused() && (call.sawStart() || call.timedOut() || outcome.code == 0);
    if (answered) {
        outcome.ending = Ending::Answered;
    } else if (!started) {
        outcome.ending =
            outcome.code == kDNSServiceErr_ServiceNotRunning ? Ending::DaemonAbsent : Ending::CouldNotStart;
    } else if (call.timedOut() || outcome.code == 0) {
        outcome.ending = Ending::NothingAnswered;
    } else {
        outcome.ending = Ending::EndedEarly;
    }
    return outcome;
}

std::string explain(const Outcome& outcome) {
    switch (outcome.ending) {
        case Ending::Answered:
            return "answered";
        case Ending::NothingAnswered:
            return "nothing answered within " + std::to_string(outcome.timeoutMs) + " ms";
        case Ending::CouldNotStart:
            return "the request could not start: " + codeAndText(outcome.code);
        case Ending::DaemonAbsent:
            return "the DNS-SD daemon cannot be reached: the request could not start (code " +
                   std::to_string(outcome.code) + ")";
        case Ending::EndedEarly:
            return "the request ended early: " + codeAndText(outcome.code);
    }
    return "";
}

Browsed browse(const Plugin& plugin, const std::string& type, const std::string& domain,
               unsigned int timeoutMs, const std::function<void(const Zelm::MDNS::Info&)>& onReport) {
    auto browser = plugin.create<Zelm::MDNS::BrowseInterface>();
    WatchedCall call(timeoutMs, [&browser] { return browser->isInitialized(); });
    const Zelm::Error result =
        browser->browseService(timeoutMs, type.c_str(), orNull(domain), 0, 0, onReport);
    call.finish();
    Browsed browsed;
    browsed.reports = browser->getInfo();
    browsed.outcome = judge(call, result, !browsed.reports.empty());
    return browsed;
}

ServiceType serviceTypeOf(const Zelm::MDNS::Info& reply) {
    const std::size_t dot = reply.regtype.find('.');
    if (dot == std::string::npos) return {reply.serviceName + "." + reply.regtype, ""};
    return {reply.serviceName + "." + reply.regtype.substr(0, dot), reply.regtype.substr(dot + 1)};
}

std::vector<Zelm::MDNS::Info> distinct(const std::vector<Zelm::MDNS::Info>& reports) {
    std::vector<Zelm::MDNS::Info> instances;
    for (const Zelm::MDNS::Info& info : reports) {
        bool seen = false;
        for (const Zelm::MDNS::Info& known : instances) {
            seen = seen || (known.serviceName == info.serviceName && known.regtype == info.regtype &&
                            known.replyDomain == info.replyDomain);
        }
        if (!seen) instances.push_back(info);
    }
    return instances;
}

Resolved resolve(const Plugin& plugin, const std::string& name, const std::string& type,
                 const std::string& domain) {
    auto resolver = plugin.create<Zelm::MDNS::ResolveInterface>();
    WatchedCall call(kAnswerTimeoutMs, [&resolver] { return resolver->isInitialized(); });
    const Zelm::Error result = resolver->resolveService(name.c_str(), type.c_str(), domain.c_str(), 0, 0);
    call.finish();
    Resolved resolved;
    resolved.outcome = judge(call, result, result.ok());
    if (result.ok()) {
        resolved.fullname = resolver->getFullname();
        resolved.host = resolver->getHosttarget();
        resolved.port = resolver->getPort();
        resolved.txt = resolver->getTxtRecord();
    }
    return resolved;
}

Address lookup(const Plugin& plugin, const std::string& host, unsigned int protocol) {
    auto lookup = plugin.create<Zelm::MDNS::AddressInfoInterface>();
    WatchedCall call(kAnswerTimeoutMs, [&lookup] { return lookup->isInitialized(); });
    const Zelm::Error result = lookup->getAddressInfo(host.c_str(), protocol, 0, 0);
    call.finish();
    Address address;
    if (result.ok()) {
        address.address = lookup->getSocketAddressAsString();
        if (!address.address.empty()) address.family = lookup->getSocketAddress().sa_family;
    }
    address.outcome = judge(call, result, !address.address.empty());
    return address;
}

}  // namespace Zelm::Tool

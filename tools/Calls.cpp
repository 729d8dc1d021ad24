#include "Calls.h"

#include "Errand.h"

#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace Zelm::Tool {

namespace {

// A browse not seen to start by then has the daemon asked whether it is there.
constexpr auto kProbeAfter = std::chrono::milliseconds(50);

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

Browsed browse(const Plugin& plugin, const std::string& type, const std::string& domain,
               unsigned int timeoutMs, const std::function<void(const Zelm::MDNS::Info&)>& onReport,
               const StopSignal* stop) {
    // What the errand shares with this thread; after giving up, this thread
    // reads it no more and no report reaches `onReport`.
    struct Shared {
        std::mutex mutex;
        bool givenUp = false;
        std::vector<Zelm::MDNS::Info> reports;
        std::unique_ptr<WatchedCall> call;
        Zelm::Error result;
    };
    auto shared = std::make_shared<Shared>();
    Errand errand;
    errand.start([shared, browser = plugin.create<Zelm::MDNS::BrowseInterface>(), wake = errand.waker(), type,
                  domain, timeoutMs, onReport] {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->call = std::make_unique<WatchedCall>(
                timeoutMs, [browser] { return browser->isInitialized(); }, wake);
        }
        const Zelm::Error result = browser->browseService(timeoutMs, type.c_str(), orNull(domain), 0, 0,
                                                          [shared, onReport](const Zelm::MDNS::Info& info) {
                                                              std::lock_guard<std::mutex> lock(shared->mutex);
                                                              if (shared->givenUp) return;
                                                              shared->reports.push_back(info);
                                                              if (onReport) onReport(info);
                                                          });
        shared->call->finish();
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->result = result;
    });
    int signal = 0;
    Errand probe;
    std::shared_ptr<Address> probed;
    bool tried = false;
    const auto began = std::chrono::steady_clock::now();
    const auto daemonAbsent = [&] {
        return probed && probe.done() && probed->outcome.ending == Ending::DaemonAbsent;
    };
    const bool done = errand.wait([&] {
        signal = stop != nullptr ? stop->received().value_or(0) : 0;
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (!tried && std::chrono::steady_clock::now() - began > kProbeAfter &&
            (!shared->call || !shared->call->sawStart())) {
            tried = true;
            probed = probeDaemon(plugin, probe);
        }
        return signal != 0 || daemonAbsent() ||
               (shared->call && (shared->call->startRefused() || shared->call->daemonLost() ||
                                 shared->call->replyCode() != 0));
    });
    if (probed) probe.wait([] { return true; });  // left running if the daemon took it
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->givenUp = true;
    Browsed browsed;
    browsed.reports = shared->reports;
    if (!done && signal != 0) {
        browsed.outcome.ending = browsed.reports.empty() ? Ending::Interrupted : Ending::Answered;
        browsed.outcome.signal = signal;
        return browsed;
    }
    if (!done && daemonAbsent()) {
        browsed.outcome = probed->outcome;
        return browsed;
    }
    browsed.outcome = judge(*shared->call, done ? shared->result : Zelm::Error(), !browsed.reports.empty());
    // Found instances do not make a browse the daemon cut short complete.
    if (shared->call->daemonLost()) browsed.outcome.ending = Ending::DaemonLost;
    return browsed;
}

ServiceType serviceTypeOf(const Zelm::MDNS::Info& reply) {
    const std::size_t dot = reply.regtype.find('.');
    if (dot == std::string::npos) return {reply.serviceName + "." + reply.regtype, ""};
    return {reply.serviceName + "." + reply.regtype.substr(0, dot), reply.regtype.substr(dot + 1)};
}

std::string typeInDomain(const std::string& type, const std::string& domain) {
    const std::string head = type.empty() || type.back() == '.' ? type : type + ".";
    return domain.empty() || domain == "." ? head : head + domain;
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
                 const std::string& domain, unsigned int interfaceIndex) {
    auto resolver = plugin.create<Zelm::MDNS::ResolveInterface>();
    WatchedCall call(kAnswerTimeoutMs, [&resolver] { return resolver->isInitialized(); });
    const Zelm::Error result =
        resolver->resolveService(name.c_str(), type.c_str(), domain.c_str(), interfaceIndex, 0);
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

}  // namespace Zelm::Tool

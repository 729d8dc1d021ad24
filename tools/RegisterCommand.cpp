#include "Commands.h"
#include "StopSignal.h"
#include "TxtRecord.h"

#include <zelm/mdns/ServiceRegisterInterface.h>

#include <algorithm>
#include <cmath>
#include <csignal>

namespace Zelm::Tool {

namespace {

// True when two TXT records carry the same non-empty strings. Neither the
// order nor zero-length padding strings count: a daemon may hand back the
// strings of a record in another order than they were registered in.
bool sameTxtEntries(const std::string& a, const std::string& b) {
    const auto sortedEntries = [](const std::string& wire) {
        std::vector<std::pair<std::string, std::optional<std::string>>> entries;
        const DecodedTxt decoded = decodeTxt(wire);
        for (const TxtEntry& entry : decoded.entries) entries.emplace_back(entry.key, entry.value);
        std::sort(entries.begin(), entries.end());
        return std::make_pair(decoded.truncated, entries);
    };
    return sortedEntries(a) == sortedEntries(b);
}

// After a conflict the daemon may advertise the service under another name
// than the one asked for, and the registration interface does not report it.
// The tool finds it as any other host would see it: it browses the type and
// resolves the instances named as asked, then those whose name begins so
// (renamed), looking for the one with our port and TXT record.
std::optional<std::string> findRegisteredName(const Plugin& plugin, const RegisterOptions& options,
                                              const std::string& txt) {
    std::vector<Zelm::MDNS::Info> candidates =
        distinct(browse(plugin, options.type, options.domain, options.confirmMs).reports);
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](const Zelm::MDNS::Info& info) {
                                        return info.serviceName.compare(0, options.name.size(),
                                                                        options.name) != 0;
                                    }),
                     candidates.end());
    std::stable_partition(candidates.begin(), candidates.end(),
                          [&](const Zelm::MDNS::Info& info) { return info.serviceName == options.name; });
    for (const Zelm::MDNS::Info& candidate : candidates) {
        const Resolved found =
            resolve(plugin, candidate.serviceName, candidate.regtype, candidate.replyDomain);
        if (found.outcome.answered() && found.port == options.port && sameTxtEntries(found.txt, txt)) {
            return candidate.serviceName;
        }
    }
    return std::nullopt;
}

Event serviceEvent(const char* kind, const std::string& name, const RegisterOptions& options) {
    return {kind,
            {{"name", name},
             {"requested_name", options.name},
             {"type", options.type},
             {"domain", options.domain.empty() ? "local." : options.domain},
             {"port", options.port}}};
}

}  // namespace

int runRegister(const Plugin& plugin, Output& out, const RegisterOptions& options) {
    const std::string txt = encodeTxt(options.txt);
    // Until the daemon has confirmed the registration there is nothing to
    // withdraw cleanly; the daemon drops it when the process goes.
    StopSignal stop("zelm-mdns: interrupted before the registration was confirmed\n");

    auto service = plugin.create<Zelm::MDNS::ServiceRegisterInterface>();
    WatchedCall call(0, {});
    const Zelm::Error result =
        service->doServiceRegister(options.type.c_str(), static_cast<unsigned short>(options.port),
                                   static_cast<unsigned short>(txt.size()), txt.data(), options.name.c_str(),
                                   options.domain.empty() ? nullptr : options.domain.c_str(), nullptr, 0, 0);
    call.finish();
    if (!result.ok()) {
        // Every start the daemon refuses comes with its prefixed line; without
        // one the daemon had the request and turned it down.
        Outcome outcome = judge(call, result, false);
        if (!call.startRefused()) outcome.ending = Ending::EndedEarly;
        return fail(out, "cannot register \"" + options.name + "\" " + options.type, outcome);
    }
    stop.armForCleanStop();

    const std::optional<std::string> confirmed =
        options.confirmMs > 0 ? findRegisteredName(plugin, options, txt) : std::nullopt;
    const std::string name = confirmed.value_or(options.name);
    Event registered = serviceEvent("registered", name, options);
    registered.fields["confirmed"] = confirmed.has_value();
    registered.fields["txt_length"] = txt.size();
    if (!confirmed) registered.fields["note"] = "name not confirmed by browsing";
    out.emit(registered);

    std::optional<long long> limitMs;
    if (options.forSeconds) limitMs = std::llround(*options.forSeconds * 1000.0);
    const std::optional<int> signal = stop.wait(limitMs);

    // Ending the component's life cycle withdraws the advertisement.
    service.lifeCycle->endLifeCycle();
    Event withdrawn = serviceEvent("withdrawn", name, options);
    withdrawn.fields["reason"] = !signal ? "time limit" : *signal == SIGINT ? "SIGINT" : "SIGTERM";
    out.emit(withdrawn);
    return exitSuccess;
}

}  // namespace Zelm::Tool

#include "Commands.h"
#include "StopSignal.h"
#include "TxtRecord.h"

#include <zelm/mdns/ServiceRegisterInterface.h>

#include <dns_sd.h>

#include <algorithm>
#include <cmath>

namespace Zelm::Tool {

namespace {

// After a conflict the daemon may advertise the service under another name
// than the one asked for, and the registration interface does not report it.
// The tool finds it as any other host would see it: it browses the type and
// resolves the instance named as asked, then those whose name begins so
// (renamed), looking for the one with our port and TXT entries. A daemon may
// hand back a record's strings in another order, hence the unordered compare.
std::optional<std::string> findRegisteredName(const Plugin& plugin, const RegisterOptions& options,
                                              const std::string& txt) {
    const auto sortedItems = [](const std::string& wire) {
        std::vector<std::string> items = txtItems(decodeTxt(wire));
        std::sort(items.begin(), items.end());
        return items;
    };
    const std::vector<std::string> entries = sortedItems(txt);
    const auto found = distinct(browse(plugin, options.type, options.domain, options.confirmMs).reports);
    for (const bool exact : {true, false}) {
        for (const Zelm::MDNS::Info& candidate : found) {
            if ((candidate.serviceName == options.name) != exact ||
                candidate.serviceName.rfind(options.name, 0) != 0) {
                continue;
            }
            const Resolved resolved =
                resolve(plugin, candidate.serviceName, candidate.regtype, candidate.replyDomain);
            if (resolved.outcome.answered() && resolved.port == options.port &&
                sortedItems(resolved.txt) == entries) {
                return candidate.serviceName;
            }
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
        const bool unicast =
            !options.domain.empty() && options.domain != "local" && options.domain != "local.";
        return fail(out, "cannot register \"" + options.name + "\" " + options.type, outcome,
                    unicast && outcome.code == kDNSServiceErr_NoAuth
                        ? "the DNS server did not accept the update; the key for " + options.domain +
                              " comes from /etc/zelm-mdns/dnssd-update.conf, or the file "
                              "ZELM_DNSSD_UPDATE_CONFIG names"
                        : "");
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
    withdrawn.fields["reason"] = signal ? signalName(*signal) : "time limit";
    out.emit(withdrawn);
    return exitSuccess;
}

}  // namespace Zelm::Tool

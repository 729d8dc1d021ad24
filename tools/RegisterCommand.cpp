#include "Commands.h"
#include "DnsSdStatus.h"
#include "ExitCode.h"
#include "NameConfirmation.h"
#include "StopSignal.h"
#include "TxtRecord.h"

#include <zelm/mdns/ServiceRegisterInterface.h>

#include <cmath>
#include <csignal>

namespace Zelm::Tool {

namespace {

nlohmann::ordered_json serviceJson(const char* event, const std::string& name,
                                   const RegisterOptions& options) {
    return {{"event", event},
            {"name", name},
            {"requested_name", options.name},
            {"type", options.type},
            {"domain", options.domain.empty() ? "local." : options.domain},
            {"port", options.port}};
}

std::string signalName(int number) {
    return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "signal";
}

}  // namespace

int runRegister(const Plugin& plugin, Output& out, const RegisterOptions& options) {
    const std::string txt = encodeTxt(options.txt);
    // Until the daemon has confirmed the registration there is nothing to
    // withdraw cleanly; the daemon drops it when the process goes.
    StopSignal stop("zelm-mdns: interrupted before the registration was confirmed\n");

    auto service = plugin.create<Zelm::MDNS::ServiceRegisterInterface>();
    const Zelm::Error outcome =
        service->doServiceRegister(options.type.c_str(), static_cast<unsigned short>(options.port),
                                   static_cast<unsigned short>(txt.size()), txt.data(), options.name.c_str(),
                                   options.domain.empty() ? nullptr : options.domain.c_str(), nullptr, 0, 0);
    if (!outcome.ok()) {
        std::string message =
            "cannot register \"" + options.name + "\" " + options.type + ": " + describeOutcome(outcome);
        if (daemonUnreachable(outcome)) {
            message += "; is the DNS-SD daemon running?";
        }
        reportError(message);
        return exitFailure;
    }
    stop.armForCleanStop();

    std::optional<std::string> confirmed;
    if (options.confirmMs > 0) {
        const RegisteredService registered{options.name, options.type, options.domain,
                                           static_cast<unsigned short>(options.port), txt};
        confirmed = findRegisteredName(plugin, registered, options.confirmMs);
    }
    const std::string name = confirmed.value_or(options.name);
    if (out.json()) {
        nlohmann::ordered_json event = serviceJson("registered", name, options);
        event["confirmed"] = confirmed.has_value();
        event["txt_length"] = txt.size();
        out.object(event);
    } else {
        out.line("registered \"" + name + "\" " + options.type + " port " + std::to_string(options.port) +
                 (confirmed ? "" : " (name not confirmed by browsing)"));
    }

    std::optional<long long> limitMs;
    if (options.forSeconds) {
        limitMs = std::llround(*options.forSeconds * 1000.0);
    }
    const std::optional<int> signal = stop.wait(limitMs);

    // Ending the component's life cycle withdraws the advertisement.
    service.lifeCycle->endLifeCycle();
    const std::string reason = signal ? signalName(*signal) : "time limit";
    if (out.json()) {
        nlohmann::ordered_json event = serviceJson("withdrawn", name, options);
        event["reason"] = reason;
        out.object(event);
    } else {
        out.line("withdrawn \"" + name + "\" (" + reason + ")");
    }
    return exitSuccess;
}

}  // namespace Zelm::Tool

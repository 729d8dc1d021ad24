#include "Commands.h"
#include "DnsSdStatus.h"
#include "ExitCode.h"
#include "Formatting.h"
#include "Queries.h"

namespace Zelm::Tool {

namespace {

void printReport(Output& out, const Zelm::MDNS::Info& info) {
    if (out.json()) {
        out.object({{"event", "found"},
                    {"name", info.serviceName},
                    {"type", info.regtype},
                    {"domain", info.replyDomain},
                    {"interface", info.interfaceIndex},
                    {"interface_name", interfaceName(info.interfaceIndex)}});
    } else {
        out.line("found  \"" + info.serviceName + "\"  " + info.regtype + info.replyDomain + "  on " +
                 interfaceName(info.interfaceIndex));
    }
}

}  // namespace

int runBrowse(const Plugin& plugin, Output& out, const BrowseOptions& options) {
    const BrowseResult result =
        browseInstances(plugin, options.type, options.domain, options.timeoutMs,
                        [&out](const Zelm::MDNS::Info& info) { printReport(out, info); });
    const bool found = !result.instances.empty();

    if (out.json()) {
        nlohmann::ordered_json summary{{"event", "summary"},
                                       {"type", options.type},
                                       {"instances", result.instances.size()},
                                       {"reports", result.reports},
                                       {"timeout_ms", options.timeoutMs}};
        if (!result.requestStarted) {
            addFailure(summary, result.outcome);
        }
        out.object(summary);
    } else {
        out.line(std::to_string(result.instances.size()) + " instance(s) of " + options.type + " (" +
                 std::to_string(result.reports) + " report(s) in " + std::to_string(options.timeoutMs) +
                 " ms)");
    }

    if (!found) {
        std::string message = "no instances of " + options.type + " found";
        if (!result.requestStarted) {
            message += ": the browse could not start, " + describeOutcome(result.outcome);
            if (daemonUnreachable(result.outcome)) {
                message += "; is the DNS-SD daemon running?";
            }
        }
        reportError(message);
        return exitFailure;
    }
    return exitSuccess;
}

}  // namespace Zelm::Tool

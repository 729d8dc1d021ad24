#include "Commands.h"
#include "DnsSdStatus.h"
#include "ExitCode.h"
#include "Formatting.h"
#include "Queries.h"

namespace Zelm::Tool {

int runLookup(const Plugin& plugin, Output& out, const LookupOptions& options) {
    const AddressLookup result = lookupAddress(plugin, options.host, options.protocol);
    if (result.address.empty()) {
        if (out.json()) {
            nlohmann::ordered_json failure{{"event", "unresolved"}, {"host", options.host}};
            if (result.outcome.ok()) {
                // The daemon answered, but with no address.
                failure["code"] = 0;
                failure["error"] = "no address in the answer";
            } else {
                addFailure(failure, result.outcome);
            }
            out.object(failure);
        }
        std::string message = "no address found for " + options.host;
        if (!result.outcome.ok()) {
            message += ": " + describeOutcome(result.outcome);
        }
        if (daemonUnreachable(result.outcome)) {
            message += "; is the DNS-SD daemon running?";
        }
        reportError(message);
        return exitFailure;
    }
    if (out.json()) {
        out.object({{"event", "address"},
                    {"host", options.host},
                    {"address", result.address},
                    {"family", familyName(result.family)}});
    } else {
        out.line(options.host + "  " + result.address);
    }
    return exitSuccess;
}

}  // namespace Zelm::Tool

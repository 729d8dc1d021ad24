#include "Commands.h"
#include "DnsSdStatus.h"
#include "ExitCode.h"
#include "Formatting.h"
#include "Queries.h"

namespace Zelm::Tool {

int runResolve(const Plugin& plugin, Output& out, const ResolveOptions& options) {
    const Resolution result = resolveInstance(plugin, options.name, options.type, options.domain);
    if (!result.outcome.ok()) {
        if (out.json()) {
            nlohmann::ordered_json failure{{"event", "unresolved"},
                                           {"name", options.name},
                                           {"type", options.type},
                                           {"domain", options.domain}};
            addFailure(failure, result.outcome);
            out.object(failure);
        }
        std::string message = "cannot resolve \"" + options.name + "\" " + options.type + " in " +
                              options.domain + ": " + describeOutcome(result.outcome);
        if (daemonUnreachable(result.outcome)) {
            message += "; is the DNS-SD daemon running?";
        }
        reportError(message);
        return exitFailure;
    }

    const DecodedTxt txt = decodeTxt(result.txt);
    if (out.json()) {
        out.object({{"event", "resolved"},
                    {"name", options.name},
                    {"type", options.type},
                    {"domain", options.domain},
                    {"fullname", result.fullname},
                    {"host", result.host},
                    {"port", result.port},
                    {"txt", txtAsJson(txt)},
                    {"txt_length", result.txt.size()},
                    {"txt_hex", toHex(result.txt)},
                    {"txt_truncated", txt.truncated}});
        return exitSuccess;
    }
    out.line("fullname: " + result.fullname);
    out.line("host:     " + result.host);
    out.line("port:     " + std::to_string(result.port));
    out.line("txt:      " + std::to_string(txt.entries.size()) + " entries, " +
             std::to_string(result.txt.size()) + " bytes" + (txt.truncated ? " (truncated)" : ""));
    for (const TxtEntry& entry : txt.entries) {
        out.line("  " + formatTxtEntry(entry));
    }
    return exitSuccess;
}

}  // namespace Zelm::Tool

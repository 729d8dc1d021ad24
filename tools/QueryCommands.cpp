// browse, types, resolve and lookup: one call of the plug-in each.

#include "Commands.h"
#include "TxtRecord.h"

#include <net/if.h>
#include <sys/socket.h>

#include <mutex>
#include <set>

namespace Zelm::Tool {

std::string interfaceName(int index) {
    char name[IF_NAMESIZE] = {};
    if (index > 0 && ::if_indextoname(static_cast<unsigned int>(index), name) != nullptr) return name;
    return std::to_string(index);
}

int fail(Output& out, const std::string& what, const Outcome& outcome) {
    static const char* const endings[] = {"answered", "nothing answered", "could not start", "daemon absent",
                                          "ended early"};
    out.emit({"failure",
              {{"what", what},
               {"ending", endings[static_cast<int>(outcome.ending)]},
               {"code", outcome.code},
               {"reason", explain(outcome)}}});
    reportError(what + ": " + explain(outcome) +
                (outcome.ending == Ending::DaemonAbsent ? "; is avahi-daemon running?" : ""));
    return exitFailure;
}

int runBrowse(const Plugin& plugin, Output& out, const BrowseOptions& options) {
    const Browsed browsed =
        browse(plugin, options.type, options.domain, options.timeoutMs, [&out](const Zelm::MDNS::Info& info) {
            out.emit({"found",
                      {{"name", info.serviceName},
                       {"type", info.regtype},
                       {"domain", info.replyDomain},
                       {"interface", info.interfaceIndex},
                       {"interface_name", interfaceName(info.interfaceIndex)}}});
        });
    if (!browsed.outcome.answered())
        return fail(out, "no instances of " + options.type + " found", browsed.outcome);
    out.emit({"summary",
              {{"type", options.type},
               {"instances", distinct(browsed.reports).size()},
               {"reports", browsed.reports.size()},
               {"timeout_ms", options.timeoutMs}}});
    return exitSuccess;
}

int runTypes(const Plugin& plugin, Output& out, const BrowseOptions& options) {
    std::mutex mutex;
    std::set<std::pair<std::string, std::string>> seen;
    const Browsed browsed =
        browse(plugin, options.type, options.domain, options.timeoutMs, [&](const Zelm::MDNS::Info& info) {
            const ServiceType type = serviceTypeOf(info);
            std::lock_guard<std::mutex> lock(mutex);
            if (seen.insert({type.type, type.domain}).second) {
                out.emit({"type", {{"type", type.type}, {"domain", type.domain}}});
            }
        });
    if (!browsed.outcome.answered()) return fail(out, "no service types found", browsed.outcome);
    out.emit({"summary", {{"types", seen.size()}, {"timeout_ms", options.timeoutMs}}});
    return exitSuccess;
}

int runResolve(const Plugin& plugin, Output& out, const ResolveOptions& options) {
    const Resolved resolved = resolve(plugin, options.name, options.type, options.domain);
    if (!resolved.outcome.answered()) {
        return fail(out, "cannot resolve \"" + options.name + "\" " + options.type + " in " + options.domain,
                    resolved.outcome);
    }
    const DecodedTxt txt = decodeTxt(resolved.txt);
    out.emit({"resolved",
              {{"name", options.name},
               {"type", options.type},
               {"domain", options.domain},
               {"fullname", resolved.fullname},
               {"host", resolved.host},
               {"port", resolved.port},
               {"txt", txtAsJson(txt)},
               {"txt_length", resolved.txt.size()},
               {"txt_hex", toHex(resolved.txt)},
               {"txt_truncated", txt.truncated}}});
    return exitSuccess;
}

int runLookup(const Plugin& plugin, Output& out, const LookupOptions& options) {
    const Address address = lookup(plugin, options.host, options.protocol);
    if (!address.outcome.answered())
        return fail(out, "no address found for " + options.host, address.outcome);
    out.emit({"address",
              {{"host", options.host},
               {"address", address.address},
               {"family", address.family == AF_INET6 ? "IPv6" : "IPv4"}}});
    return exitSuccess;
}

}  // namespace Zelm::Tool

// browse, types, resolve and lookup: one call of the plug-in each.

#include "Commands.h"
#include "Interfaces.h"
#include "TxtRecord.h"

#include <sys/socket.h>

#include <csignal>
#include <mutex>
#include <set>

namespace Zelm::Tool {

namespace {

// A name without a dot before its end is no multicast-DNS host name.
std::string lookupHint(const std::string& host) {
    const std::string name = !host.empty() && host.back() == '.' ? host.substr(0, host.size() - 1) : host;
    if (name.find('.') == std::string::npos)
        return "a multicast-DNS host name ends in .local, as " + name + ".local.";
    return "";
}

}  // namespace

const char* signalName(int signal) { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

int fail(Output& out, const std::string& what, const Outcome& outcome, const std::string& hint) {
    const std::string reason = explain(outcome) + (hint.empty() ? "" : "; " + hint);
    out.emit({"failure",
              {{"what", what},
               {"ending", endingName(outcome.ending)},
               {"code", outcome.code},
               {"reason", reason}}});
    const bool daemonGone = outcome.ending == Ending::DaemonAbsent || outcome.ending == Ending::DaemonLost;
    reportError(what + ": " + reason + (daemonGone ? "; is avahi-daemon running?" : ""));
    return exitFailure;
}

Event summaryOf(const Outcome& outcome, nlohmann::ordered_json fields) {
    Event summary{"summary", std::move(fields)};
    if (outcome.signal != 0) summary.fields["interrupted"] = signalName(outcome.signal);
    return summary;
}

int runBrowse(const Plugin& plugin, Output& out, const BrowseOptions& options) {
    StopSignal stop("");
    stop.armForCleanStop();
    const Browsed browsed = browse(
        plugin, options.type, options.domain, options.timeoutMs,
        [&out](const Zelm::MDNS::Info& info) {
            Event found{"found",
                        {{"name", info.serviceName},
                         {"type", info.regtype},
                         {"domain", info.replyDomain},
                         {"interface", info.interfaceIndex}},
                        {{"service", typeInDomain(info.regtype, info.replyDomain)}}};
            if (info.interfaceIndex > 0) found.fields["interface_name"] = interfaceName(info.interfaceIndex);
            out.emit(found);
        },
        &stop);
    if (!browsed.outcome.answered()) {
        return fail(out,
                    browsed.reports.empty() ? "no instances of " + options.type + " found"
                                            : "the browse of " + options.type + " was cut short",
                    browsed.outcome);
    }
    out.emit(summaryOf(browsed.outcome, {{"type", options.type},
                                         {"instances", distinct(browsed.reports).size()},
                                         {"reports", browsed.reports.size()},
                                         {"timeout_ms", options.timeoutMs}}));
    return exitSuccess;
}

int runTypes(const Plugin& plugin, Output& out, const BrowseOptions& options) {
    StopSignal stop("");
    stop.armForCleanStop();
    std::mutex mutex;
    std::set<std::pair<std::string, std::string>> seen;
    const Browsed browsed = browse(
        plugin, options.type, options.domain, options.timeoutMs,
        [&](const Zelm::MDNS::Info& info) {
            const ServiceType type = serviceTypeOf(info);
            std::lock_guard<std::mutex> lock(mutex);
            if (seen.insert({type.type, type.domain}).second) {
                out.emit({"type", {{"type", type.type}, {"domain", type.domain}}});
            }
        },
        &stop);
    if (!browsed.outcome.answered()) return fail(out, "no service types found", browsed.outcome);
    std::lock_guard<std::mutex> lock(mutex);
    out.emit(summaryOf(browsed.outcome, {{"types", seen.size()}, {"timeout_ms", options.timeoutMs}}));
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
               {"txt_truncated", txt.truncated}},
              {{"txt", txtAsText(txt)}}});
    return exitSuccess;
}

int runLookup(const Plugin& plugin, Output& out, const LookupOptions& options) {
    const Address address = lookup(plugin, options.host, options.protocol);
    if (!address.outcome.answered()) {
        return fail(out, "no address found for " + options.host, address.outcome,
                    address.outcome.ending == Ending::NoSuchHost ? lookupHint(options.host) : "");
    }
    out.emit({"address",
              {{"host", options.host},
               {"address", address.address},
               {"family", address.family == AF_INET6 ? "IPv6" : "IPv4"}}});
    return exitSuccess;
}

}  // namespace Zelm::Tool

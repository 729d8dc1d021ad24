#include "Commands.h"
#include "Parallel.h"
#include "TxtRecord.h"

#include <algorithm>

namespace Zelm::Tool {

namespace {

// Resolutions and lookups wait up to 4 s each when nobody answers: run a few
// at once so that one silent service does not hold up the rest.
constexpr std::size_t kMaxConcurrentQueries = 8;

Address lookupPreferringIPv4(const Plugin& plugin, const std::string& host, unsigned int protocol) {
    if (protocol != kProtocolAny) return lookup(plugin, host, protocol);
    Address v4 = lookup(plugin, host, protocolIPv4);
    return v4.outcome.answered() ? v4 : lookup(plugin, host, protocolIPv6);
}

// One "service" event; "problem" says what is missing, if anything.
Event describeService(const Plugin& plugin, const Zelm::MDNS::Info& instance, unsigned int protocol) {
    Event row{"service",
              {{"name", instance.serviceName}, {"type", instance.regtype}, {"domain", instance.replyDomain}}};
    const Resolved resolved = resolve(plugin, instance.serviceName, instance.regtype, instance.replyDomain);
    if (!resolved.outcome.answered()) {
        row.fields["problem"] = "cannot resolve: " + explain(resolved.outcome);
        return row;
    }
    row.fields["host"] = resolved.host;
    const Address address = lookupPreferringIPv4(plugin, resolved.host, protocol);
    if (address.outcome.answered()) {
        row.fields["address"] = address.address;
    } else {
        row.fields["problem"] = "no address for " + resolved.host + ": " + explain(address.outcome);
    }
    row.fields["port"] = resolved.port;
    row.fields["txt"] = txtAsJson(decodeTxt(resolved.txt));
    return row;
}

}  // namespace

int runDiscover(const Plugin& plugin, Output& out, const DiscoverOptions& options) {
    std::vector<Browsed> browsed(options.types.size());
    runInParallel(options.types.size(), options.types.size(), [&](std::size_t i) {
        browsed[i] = browse(plugin, options.types[i], options.domain, options.timeoutMs);
    });
    std::vector<Zelm::MDNS::Info> instances;
    for (const Browsed& result : browsed) {
        const auto found = distinct(result.reports);
        instances.insert(instances.end(), found.begin(), found.end());
    }
    if (instances.empty()) {
        // A browse that could not start tells more than one that timed out.
        auto telling = std::find_if(browsed.begin(), browsed.end(), [](const Browsed& result) {
            return result.outcome.ending != Ending::NothingAnswered;
        });
        return fail(out, "no services found",
                    (telling != browsed.end() ? *telling : browsed.front()).outcome);
    }

    std::vector<Event> rows(instances.size());
    runInParallel(instances.size(), kMaxConcurrentQueries,
                  [&](std::size_t i) { rows[i] = describeService(plugin, instances[i], options.protocol); });
    std::stable_sort(rows.begin(), rows.end(), [](const Event& a, const Event& b) {
        return std::tie(a.fields["type"], a.fields["name"]) < std::tie(b.fields["type"], b.fields["name"]);
    });
    std::size_t complete = 0;
    for (const Event& row : rows) {
        if (row.fields.contains("problem")) {
            reportError("\"" + row.fields["name"].get<std::string>() + "\" " +
                        row.fields["type"].get<std::string>() + ": " +
                        row.fields["problem"].get<std::string>());
        } else {
            ++complete;
        }
    }
    out.table(rows);
    out.emit({"summary", {{"services", rows.size()}, {"resolved", complete}}});
    return complete > 0 ? exitSuccess : exitFailure;
}

}  // namespace Zelm::Tool

#include "Commands.h"
#include "DnsSdStatus.h"
#include "ExitCode.h"
#include "Formatting.h"
#include "Parallel.h"
#include "Queries.h"
#include "ServiceTable.h"

namespace Zelm::Tool {

namespace {

// Resolutions and lookups wait up to 4 s each when nobody answers: run a few
// at once so that one silent service does not hold up the rest.
constexpr std::size_t kMaxConcurrentQueries = 8;

AddressLookup lookupPreferringIPv4(const Plugin& plugin, const std::string& host, unsigned int protocol) {
    if (protocol != kProtocolAny) {
        return lookupAddress(plugin, host, protocol);
    }
    AddressLookup v4 = lookupAddress(plugin, host, protocolIPv4);
    return v4.address.empty() ? lookupAddress(plugin, host, protocolIPv6) : v4;
}

ServiceRow describeService(const Plugin& plugin, const Instance& instance, unsigned int protocol) {
    ServiceRow row;
    row.name = instance.name;
    row.type = instance.type;
    row.domain = instance.domain;
    const Resolution resolved = resolveInstance(plugin, instance.name, instance.type, instance.domain);
    if (!resolved.outcome.ok()) {
        row.problem = "cannot resolve: " + describeOutcome(resolved.outcome);
        return row;
    }
    row.host = resolved.host;
    row.port = resolved.port;
    row.txt = txtAsText(decodeTxt(resolved.txt));
    const AddressLookup address = lookupPreferringIPv4(plugin, resolved.host, protocol);
    row.address = address.address;
    if (address.address.empty()) {
        row.problem = "no address for " + resolved.host;
    }
    return row;
}

nlohmann::ordered_json rowJson(const ServiceRow& row) {
    nlohmann::ordered_json object{
        {"event", "service"}, {"name", row.name}, {"type", row.type}, {"domain", row.domain}};
    if (row.port >= 0) {
        object["host"] = row.host;
        object["port"] = row.port;
        object["txt"] = row.txt;
    }
    if (!row.address.empty()) {
        object["address"] = row.address;
    }
    if (!row.problem.empty()) {
        object["problem"] = row.problem;
    }
    return object;
}

}  // namespace

int runDiscover(const Plugin& plugin, Output& out, const DiscoverOptions& options) {
    std::vector<BrowseResult> browsed(options.types.size());
    runInParallel(options.types.size(), options.types.size(), [&](std::size_t i) {
        browsed[i] = browseInstances(plugin, options.types[i], options.domain, options.timeoutMs, {});
    });

    std::vector<Instance> instances;
    for (const BrowseResult& result : browsed) {
        instances.insert(instances.end(), result.instances.begin(), result.instances.end());
    }
    if (instances.empty()) {
        std::string message = "no services found within " + std::to_string(options.timeoutMs) + " ms";
        for (const BrowseResult& result : browsed) {
            if (!result.requestStarted) {
                message += ": the browse could not start, " + describeOutcome(result.outcome);
                if (daemonUnreachable(result.outcome)) {
                    message += "; is the DNS-SD daemon running?";
                }
                break;
            }
        }
        if (out.json()) {
            out.object({{"event", "summary"}, {"services", 0}, {"resolved", 0}});
        }
        reportError(message);
        return exitFailure;
    }

    std::vector<ServiceRow> rows(instances.size());
    runInParallel(instances.size(), kMaxConcurrentQueries,
                  [&](std::size_t i) { rows[i] = describeService(plugin, instances[i], options.protocol); });
    sortRows(rows);

    std::size_t complete = 0;
    for (const ServiceRow& row : rows) {
        if (row.problem.empty()) {
            ++complete;
        } else {
            reportError("\"" + row.name + "\" " + row.type + ": " + row.problem);
        }
    }
    if (out.json()) {
        for (const ServiceRow& row : rows) {
            out.object(rowJson(row));
        }
        out.object({{"event", "summary"}, {"services", rows.size()}, {"resolved", complete}});
    } else {
        for (const std::string& line : formatTable(rows)) {
            out.line(line);
        }
    }
    return complete > 0 ? exitSuccess : exitFailure;
}

}  // namespace Zelm::Tool

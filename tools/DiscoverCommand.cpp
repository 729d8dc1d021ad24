#include "Commands.h"
#include "Errand.h"
#include "Parallel.h"
#include "TxtRecord.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

namespace Zelm::Tool {

namespace {

// Resolutions and lookups wait up to 4 s each when nobody answers: run a few
// at once so that one silent service does not hold up the rest.
constexpr std::size_t kMaxConcurrentQueries = 8;

// A signal while browsing ends the browse; the instances found so far still
// get this long to be resolved, which takes milliseconds unless one is silent.
constexpr auto kResolveAfterSignal = std::chrono::milliseconds(1000);

Event serviceRow(const Zelm::MDNS::Info& instance) {
    return {"service",
            {{"name", instance.serviceName}, {"type", instance.regtype}, {"domain", instance.replyDomain}}};
}

// One "service" event; "problem" says what is missing, if anything. Resolved
// and looked up on the interface the instance was found on.
Event describeService(const Plugin& plugin, const Zelm::MDNS::Info& instance, unsigned int protocol) {
    Event row = serviceRow(instance);
    const auto interfaceIndex = static_cast<unsigned int>(std::max(instance.interfaceIndex, 0));
    const Resolved resolved =
        resolve(plugin, instance.serviceName, instance.regtype, instance.replyDomain, interfaceIndex);
    if (!resolved.outcome.answered()) {
        row.fields["problem"] = "cannot resolve: " + explain(resolved.outcome);
        return row;
    }
    row.fields["host"] = resolved.host;
    const Address address = lookup(plugin, resolved.host, protocol, interfaceIndex);
    if (address.outcome.answered()) {
        row.fields["address"] = address.address;
    } else {
        row.fields["problem"] = "no address for " + resolved.host + ": " + explain(address.outcome);
    }
    row.fields["port"] = resolved.port;
    const DecodedTxt txt = decodeTxt(resolved.txt);
    row.fields["txt"] = txtAsJson(txt);
    row.text["txt"] = txtAsText(txt);
    return row;
}

// The rows of all instances, as far as they are done when a signal comes (or
// `grace` after it).
std::vector<Event> describeAll(const Plugin& plugin, const std::vector<Zelm::MDNS::Info>& instances,
                               unsigned int protocol, const StopSignal& stop, std::chrono::milliseconds grace,
                               int& signal) {
    struct Shared {
        std::mutex mutex;
        bool givenUp = false;
        std::vector<std::optional<Event>> rows;
    };
    auto shared = std::make_shared<Shared>();
    shared->rows.resize(instances.size());
    Errand errand;
    // The plug-in stays loaded while a call left running may still use it (see main()).
    errand.start([shared, &plugin, instances, protocol] {
        runInParallel(instances.size(), kMaxConcurrentQueries, [&](std::size_t i) {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                if (shared->givenUp) return;
            }
            Event row = describeService(plugin, instances[i], protocol);
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (!shared->givenUp) shared->rows[i] = std::move(row);
        });
    });
    const auto deadline = std::chrono::steady_clock::now() + grace;
    errand.wait([&] {
        return (signal = stop.received().value_or(0)) != 0 && std::chrono::steady_clock::now() >= deadline;
    });
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->givenUp = true;
    std::vector<Event> rows;
    for (std::size_t i = 0; i < instances.size(); ++i) {
        rows.push_back(shared->rows[i].value_or(serviceRow(instances[i])));
        if (!shared->rows[i]) {
            rows.back().fields["problem"] = std::string("not resolved: interrupted by ") + signalName(signal);
        }
    }
    return rows;
}

}  // namespace

int runDiscover(const Plugin& plugin, Output& out, const DiscoverOptions& options) {
    StopSignal stop("");
    stop.armForCleanStop();
    std::vector<Browsed> browsed(options.types.size());
    runInParallel(options.types.size(), options.types.size(), [&](std::size_t i) {
        browsed[i] = browse(plugin, options.types[i], options.domain, options.timeoutMs, {}, &stop);
    });
    std::vector<Zelm::MDNS::Info> instances;
    for (const Browsed& result : browsed) {
        const auto found = distinct(result.reports);
        instances.insert(instances.end(), found.begin(), found.end());
    }
    // A browse that could not start or was cut short tells more than one that timed out.
    auto telling = std::find_if(browsed.begin(), browsed.end(), [](const Browsed& result) {
        return result.outcome.ending != Ending::NothingAnswered && !result.outcome.answered();
    });
    if (instances.empty() || (telling != browsed.end() && telling->outcome.ending == Ending::DaemonLost)) {
        return fail(out, instances.empty() ? "no services found" : "discovery cut short",
                    (telling != browsed.end() ? *telling : browsed.front()).outcome);
    }

    Outcome ending;
    const auto grace = stop.received() ? kResolveAfterSignal : std::chrono::milliseconds(0);
    std::vector<Event> rows = describeAll(plugin, instances, options.protocol, stop, grace, ending.signal);
    ending.signal = stop.received().value_or(0);  // also one that came while browsing
    std::stable_sort(rows.begin(), rows.end(), [](const Event& a, const Event& b) {
        return std::tie(a.fields["type"], a.fields["name"]) < std::tie(b.fields["type"], b.fields["name"]);
    });
    std::size_t complete = 0;
    for (const Event& row : rows) {
        if (!row.fields.contains("problem")) {
            ++complete;
        } else if (ending.signal == 0) {
            reportError("\"" + row.fields["name"].get<std::string>() + "\" " +
                        row.fields["type"].get<std::string>() + ": " +
                        row.fields["problem"].get<std::string>());
        }
    }
    out.table(rows);
    out.emit(summaryOf(ending, {{"services", rows.size()}, {"resolved", complete}}));
    return complete > 0 ? exitSuccess : exitFailure;
}

}  // namespace Zelm::Tool

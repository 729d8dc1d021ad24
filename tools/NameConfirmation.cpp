#include "NameConfirmation.h"

#include "TxtRecord.h"

#include <algorithm>
#include <utility>

namespace Zelm::Tool {

std::vector<Instance> candidateInstances(const std::string& requestedName,
                                         const std::vector<Instance>& found) {
    std::vector<Instance> exact;
    std::vector<Instance> renamed;
    for (const Instance& instance : found) {
        if (instance.name == requestedName) {
            exact.push_back(instance);
        } else if (instance.name.compare(0, requestedName.size(), requestedName) == 0) {
            renamed.push_back(instance);
        }
    }
    exact.insert(exact.end(), renamed.begin(), renamed.end());
    return exact;
}

bool sameTxtEntries(const std::string& a, const std::string& b) {
    const auto sortedEntries = [](const std::string& wire) {
        std::vector<std::pair<std::string, std::optional<std::string>>> entries;
        const DecodedTxt decoded = decodeTxt(wire);
        for (const TxtEntry& entry : decoded.entries) {
            entries.emplace_back(entry.key, entry.value);
        }
        std::sort(entries.begin(), entries.end());
        return std::make_pair(decoded.truncated, entries);
    };
    return sortedEntries(a) == sortedEntries(b);
}

std::optional<std::string> findRegisteredName(const Plugin& plugin, const RegisteredService& service,
                                              unsigned int browseMs) {
    const BrowseResult browsed = browseInstances(plugin, service.type, service.domain, browseMs, {});
    for (const Instance& candidate : candidateInstances(service.requestedName, browsed.instances)) {
        const Resolution resolved = resolveInstance(plugin, candidate.name, candidate.type, candidate.domain);
        if (resolved.outcome.ok() && resolved.port == service.port &&
            sameTxtEntries(resolved.txt, service.txt)) {
            return candidate.name;
        }
    }
    return std::nullopt;
}

}  // namespace Zelm::Tool

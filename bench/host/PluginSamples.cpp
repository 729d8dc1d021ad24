#include "PluginSamples.h"

#include "Sampling.h"

#include <zelm/mdns/AddressInfoInterface.h>
#include <zelm/mdns/BrowseInterface.h>
#include <zelm/mdns/ResolveInterface.h>

#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace Zelm::Bench {

using namespace Zelm::MDNS;
using nlohmann::json;

namespace {

// The TXT record every benchmark registration carries.
const char kTxt[] = "\x0bpath=/bench";

}  // namespace

PluginSamples::PluginSamples(const std::string& pluginPath) : plugin_(pluginPath) {}

json PluginSamples::resolve(const std::string& name, const std::string& type) {
    auto component = plugin_.create<ResolveInterface>();
    const auto start = Clock::now();
    const Zelm::Error outcome = component->resolveService(name.c_str(), type.c_str(), "local.", 0, 0);
    const double ms = millisSince(start);
    return {{"ms", ms}, {"ok", outcome.code() == 0 && !component->getHosttarget().empty()}};
}

json PluginSamples::lookup(const std::string& host) {
    auto component = plugin_.create<AddressInfoInterface>();
    const auto start = Clock::now();
    const Zelm::Error outcome = component->getAddressInfo(host.c_str(), 0, 0, 0);
    const double ms = millisSince(start);
    return {{"ms", ms}, {"ok", outcome.code() == 0}, {"address", component->getSocketAddressAsString()}};
}

json PluginSamples::registerThenEnd(const std::string& name, const std::string& type, unsigned short port) {
    auto component = plugin_.create<ServiceRegisterInterface>();
    const auto start = Clock::now();
    const Zelm::Error outcome = component->doServiceRegister(type.c_str(), port, sizeof kTxt - 1, kTxt,
                                                             name.c_str(), "", nullptr, 0, 0);
    const double ms = millisSince(start);
    const auto endStart = Clock::now();
    component.lifeCycle->endLifeCycle();
    const double teardownMs = millisSince(endStart);
    return {{"ms", ms}, {"teardown_ms", teardownMs}, {"ok", outcome.code() == 0}};
}

json PluginSamples::browse(const std::string& type, unsigned int timeoutMs) {
    auto component = plugin_.create<BrowseInterface>();
    Arrivals arrivals;
    const double cpuStart = processCpuMillis();
    arrivals.start = Clock::now();
    component->browseService(timeoutMs, type.c_str(), "local.", 0, 0,
                             [&arrivals](const Info& info) { arrivals.add(info.serviceName); });
    const double ms = millisSince(arrivals.start);
    const double cpuMs = processCpuMillis() - cpuStart;
    return {{"ms", ms},
            {"overshoot_ms", ms - timeoutMs},
            {"cpu_ms", cpuMs},
            {"found", arrivals.names.size()},
            {"last_ms", arrivals.lastMs}};
}

json PluginSamples::endMidBrowse(const std::string& type, unsigned int timeoutMs, unsigned int afterMs) {
    auto component = plugin_.create<BrowseInterface>();
    std::thread browsing([&] { component->browseService(timeoutMs, type.c_str(), "local.", 0, 0, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    const auto start = Clock::now();
    component.lifeCycle->endLifeCycle();
    const double ms = millisSince(start);
    browsing.join();
    return {{"ms", ms}};
}

json PluginSamples::scale(const std::string& type, int count, unsigned int timeoutMs) {
    std::vector<Zelm::Tool::Component<BrowseInterface>> components;
    for (int i = 0; i < count; ++i) {
        components.push_back(plugin_.create<BrowseInterface>());
    }
    PeakWatcher watcher;
    std::atomic<int> withResults{0};
    std::mutex outcomesMutex;
    std::map<std::string, int> outcomes;  // browseService's codes, as signed DNS-SD codes
    std::vector<std::thread> hosts;
    const auto start = Clock::now();
    for (auto& component : components) {
        hosts.emplace_back([&, api = component.api] {
            const Zelm::Error outcome = api->browseService(timeoutMs, type.c_str(), "local.", 0, 0, nullptr);
            if (!api->getInfo().empty()) ++withResults;
            std::lock_guard<std::mutex> lock(outcomesMutex);
            ++outcomes[std::to_string(static_cast<int>(outcome.code()))];
        });
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    const double ms = millisSince(start);
    watcher.finish();
    json result = watcher.report(count);
    result["ms"] = ms;
    result["overshoot_ms"] = ms - timeoutMs;
    result["with_results"] = withResults.load();
    result["outcomes"] = outcomes;
    return result;
}

json PluginSamples::idleMemory(int count) {
    json result;
    const auto measure = [&](const char* kind, auto make) {
        std::vector<std::shared_ptr<Zelm::ComponentInterface>> held;
        held.reserve(static_cast<std::size_t>(count));
        const std::size_t before = heapBytesInUse();
        for (int i = 0; i < count; ++i) {
            held.push_back(make().owner);
        }
        result[kind] = static_cast<double>(heapBytesInUse() - before) / count;
    };
    measure("browse", [&] { return plugin_.create<BrowseInterface>(); });
    measure("resolve", [&] { return plugin_.create<ResolveInterface>(); });
    measure("address", [&] { return plugin_.create<AddressInfoInterface>(); });
    measure("register", [&] { return plugin_.create<ServiceRegisterInterface>(); });
    return result;
}

json PluginSamples::hold(bool on) {
    if (held_.owner) {
        held_.lifeCycle->endLifeCycle();
        held_ = {};
    }
    if (!on) {
        return {{"ok", true}};
    }
    held_ = plugin_.create<ServiceRegisterInterface>();
    const Zelm::Error outcome =
        held_->doServiceRegister("_zbenchhold._tcp", 9, 0, nullptr, "plug-in hold", "", nullptr, 0, 0);
    return {{"ok", outcome.code() == 0}};
}

}  // namespace Zelm::Bench

#pragma once

// One measurement at a time through the plug-in, loaded with dlopen as a
// host loads it. Each sample makes a fresh component, as a host that asks
// for one per task does, and times only the operation under test.

#include "Plugin.h"

#include <zelm/mdns/ServiceRegisterInterface.h>

#include <nlohmann/json.hpp>

#include <string>

namespace Zelm::Bench {

class PluginSamples {
public:
    explicit PluginSamples(const std::string& pluginPath);

    // resolveService of one instance: {"ms", "ok"}.
    nlohmann::json resolve(const std::string& name, const std::string& type);
    // getAddressInfo of a host, either family: {"ms", "ok", "address"}.
    nlohmann::json lookup(const std::string& host);
    // doServiceRegister to its return (the daemon's confirmation), then
    // endLifeCycle of the live registration: {"ms", "teardown_ms", "ok"}.
    nlohmann::json registerThenEnd(const std::string& name, const std::string& type, unsigned short port);
    // browseService for timeoutMs: {"ms", "overshoot_ms", "cpu_ms", "found", "last_ms"}.
    nlohmann::json browse(const std::string& type, unsigned int timeoutMs);
    // endLifeCycle of a component whose browse runs on another thread: {"ms"}.
    nlohmann::json endMidBrowse(const std::string& type, unsigned int timeoutMs, unsigned int afterMs);
    // `count` browses at once, one host thread each: wall time and the
    // process's peak threads, memory and bus connections over its idle state.
    nlohmann::json scale(const std::string& type, int count, unsigned int timeoutMs);
    // Heap bytes that `count` idle components of each kind take, per component.
    nlohmann::json idleMemory(int count);

    // Keeps one registration open (on) or ends it (off), so that the
    // plug-in's daemon connection stays up between samples.
    nlohmann::json hold(bool on);

private:
    Zelm::Tool::Plugin plugin_;
    Zelm::Tool::Component<Zelm::MDNS::ServiceRegisterInterface> held_;
};

}  // namespace Zelm::Bench

#pragma once

// The floor under every resolve and lookup through the daemon: its one-call
// resolution as a single blocking libdbus call on a bus connection of this
// process's own, with no event loop, no thread and no DNS-SD around it.

#include <dbus/dbus.h>

#include <nlohmann/json.hpp>

#include <string>

namespace Zelm::Bench {

class DaemonFloor {
public:
    DaemonFloor() = default;
    ~DaemonFloor();
    DaemonFloor(const DaemonFloor&) = delete;
    DaemonFloor& operator=(const DaemonFloor&) = delete;

    // Server.ResolveService of a service in "local": {"ms", "ok"}.
    nlohmann::json resolve(const std::string& name, const std::string& type);
    // Server.ResolveHostName of `host` (either family): {"ms", "ok"}.
    nlohmann::json lookup(const std::string& host);

private:
    nlohmann::json call(DBusMessage* request);

    DBusConnection* bus_ = nullptr;  // opened at the first call, kept
};

}  // namespace Zelm::Bench

#pragma once

// Where a start that needs `objects` more daemon objects goes, as a daemon
// link's connections stand. A connection whose bus went away is passed
// over. One that serves takes the start while the daemon allows it that
// many more objects; when none does, a connection that has yet to learn the
// daemon's state is waited for before a sibling is opened. One that knows
// the daemon is absent would have seen it come back, so with no connection
// left to wait for the daemon counts as absent. A template over the
// connection type, so that the rule can be tried on plain values.

#include <type_traits>

namespace Zelm::DnsSd {

enum class ConnectionStep { Use, Await, Open, DaemonAbsent };

template <typename Connection>
struct ConnectionChoice {
    ConnectionStep step;
    Connection* connection;  // the one to use or to wait for
};

template <typename Connections>
auto chooseConnection(const Connections& connections, int objects) {
    using Connection = std::remove_reference_t<decltype(*connections.front())>;
    bool daemonAbsent = false;
    Connection* unsettled = nullptr;
    for (const auto& held : connections) {
        Connection& connection = *held;
        if (connection.failed) {
            continue;
        }
        if (!connection.stateKnown()) {
            unsettled = &connection;
        } else if (!connection.serves()) {
            daemonAbsent = true;
        } else if (connection.objects + objects <= connection.capacity) {
            return ConnectionChoice<Connection>{ConnectionStep::Use, &connection};
        }
    }
    if (unsettled != nullptr) {
        return ConnectionChoice<Connection>{ConnectionStep::Await, unsettled};
    }
    return ConnectionChoice<Connection>{daemonAbsent ? ConnectionStep::DaemonAbsent : ConnectionStep::Open,
                                        nullptr};
}

}  // namespace Zelm::DnsSd

#include "bus/PendingCalls.h"

#include "bus/BusConnection.h"
#include "daemon/DaemonCalls.h"

#include <algorithm>
#include <new>
#include <utility>

namespace Zelm::DnsSd {

struct PendingCalls::InFlight {
    PendingCalls* owner;
    BusConnection* bus;
    DBusPendingCall* call;
    Handler handler;
};

bool PendingCalls::send(BusConnection& bus, DBusMessage* call, Handler handler, int timeoutMs) {
    if (!bus.roomForCalls(1)) {
        return false;
    }
    try {
        calls_.reserve(calls_.size() + 1);
    } catch (...) {
        return false;
    }
    auto* inFlight = new (std::nothrow) InFlight{this, &bus, nullptr, std::move(handler)};
    if (inFlight == nullptr) {
        return false;
    }
    DBusPendingCall* pending = nullptr;
    // Null pending: the connection is closed.
    if (!dbus_connection_send_with_reply(bus.raw(), call, &pending, timeoutMs) || pending == nullptr) {
        delete inFlight;
        return false;
    }
    inFlight->call = pending;
    if (!dbus_pending_call_set_notify(pending, &PendingCalls::onReply, inFlight,
                                      &PendingCalls::freeInFlight)) {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
        delete inFlight;
        return false;
    }
    calls_.push_back(inFlight);
    bus.callSent();
    return true;
}

void PendingCalls::onReply(DBusPendingCall* call, void* data) {
    auto* inFlight = static_cast<InFlight*>(data);
    PendingCalls* owner = inFlight->owner;
    auto& calls = owner->calls_;
    calls.erase(std::remove(calls.begin(), calls.end(), inFlight), calls.end());
    inFlight->bus->callEnded();
    const Message reply(dbus_pending_call_steal_reply(call));
    Handler handler = std::move(inFlight->handler);
    dbus_pending_call_unref(call);  // frees inFlight
    try {
        handler(reply.get());
    } catch (...) {
        // Out of memory while handling it: the answer is lost, as an
        // unanswered request would be.
    }
}

void PendingCalls::freeInFlight(void* data) { delete static_cast<InFlight*>(data); }

void PendingCalls::dropAll() {
    for (InFlight* inFlight : std::exchange(calls_, {})) {
        DBusPendingCall* call = inFlight->call;
        inFlight->bus->callEnded();
        dbus_pending_call_cancel(call);
        dbus_pending_call_unref(call);
    }
}

}  // namespace Zelm::DnsSd

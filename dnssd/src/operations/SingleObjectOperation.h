#pragma once

#include "operations/Operation.h"

namespace Zelm::DnsSd {

// An operation carried by one daemon object that reports by signals (a
// browser or a resolver): it is made by a "...Prepare" request and started,
// and when the daemon goes away the operation ends with an error reply.
class SingleObjectOperation : public Operation, private SignalTarget {
public:
    void stop() override {
        calls_.dropAll();
        object_.free();
    }
    void forgetDaemon() override {
        calls_.dropAll();
        object_.forget();
    }
    bool daemonLost() override {
        forgetDaemon();
        postFailure(kDNSServiceErr_ServiceNotRunning);
        return false;
    }

protected:
    explicit SingleObjectOperation(const char* interface) : object_(interface, *this) {}

    // Sends `prepare` (null: memory ran out) and starts the object it makes.
    void create(const DaemonContext& context, const Message& prepare, const Settle& settle) {
        sink_ = context.sink;
        if (!prepare) {
            settle(kDNSServiceErr_NoMemory);
            return;
        }
        object_.create(*context.bus, prepare.get(), calls_, true, settle,
                       [this](DNSServiceErrorType code) { orLose(sink_, [&] { postFailure(code); }); });
    }

    virtual void handleSignal(DBusMessage* signal) = 0;
    virtual void postFailure(DNSServiceErrorType code) = 0;

    ReplySink* sink_ = nullptr;

private:
    void onSignal(DBusMessage* signal) override {
        orLose(sink_, [&] { handleSignal(signal); });
    }

    PendingCalls calls_;
    DaemonObject object_;
};

}  // namespace Zelm::DnsSd

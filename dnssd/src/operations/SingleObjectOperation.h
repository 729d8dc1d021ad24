#pragma once

#include "daemon/DaemonObject.h"
#include "names/ErrorCodes.h"
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

    // Sends `prepare` and starts the object it makes.
    void create(const DaemonContext& context, const Daemon::Request& prepare, const Settle& settle) {
        sink_ = context.sink;
        object_.create(*context.channel, prepare, calls_, true, settle, [this](DNSServiceErrorType code) {
            orLose(sink_, [&] { postFailure(publicCode(code)); });
        });
    }

    // A "Failure" signal of the object: the error it carries, never NoError.
    static DNSServiceErrorType failureCode(const std::tuple<std::string>& failure) {
        return publicCode(fromDaemonError(std::get<0>(failure).c_str()));
    }

    virtual void handleSignal(const Daemon::Incoming& signal) = 0;
    virtual void postFailure(DNSServiceErrorType code) = 0;

    ReplySink* sink_ = nullptr;
    PendingCalls calls_;

private:
    void onSignal(const Daemon::Incoming& signal) override {
        orLose(sink_, [&] { handleSignal(signal); });
    }

    DaemonObject object_;
};

}  // namespace Zelm::DnsSd

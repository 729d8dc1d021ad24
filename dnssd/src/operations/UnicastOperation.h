#pragma once

// The base of a DNS-SD operation in a unicast domain: it asks the site's DNS
// servers through a DnsClient and needs no daemon. A Reference holds it like
// any operation; DaemonLink::attach sees asUnicast() and calls begin() with
// the link's DNS client and event loop instead of attaching it to a daemon
// connection, and detach() calls stop().

#include "operations/Operation.h"
#include "unicast/DnsClient.h"

#include <functional>
#include <memory>
#include <set>
#include <string>

namespace Zelm::DnsSd {

// What a unicast operation runs on: the DNS client, the timers of the
// thread that delivers its answers, and where its replies go.
struct UnicastContext {
    Unicast::DnsClient* client;
    Scheduler* timers;
    ReplySink* sink;
};

class UnicastOperation : public Operation {
public:
    int daemonObjects() const override { return 0; }
    int callsAtStart() const override { return 0; }
    // Never attached to a daemon connection.
    void start(const DaemonContext&, Settle settle) override { settle(kDNSServiceErr_Unsupported); }
    void forgetDaemon() override {}
    UnicastOperation* asUnicast() override { return this; }

    // Sends the first queries. Failures later come as replies. With the
    // event loop's lock held.
    virtual void begin(const UnicastContext& context) = 0;

    // begin() with the start's answer, which the start function waits for:
    // at once for a query, once the server has answered for a registration.
    virtual void open(const UnicastContext& context, Settle started) {
        begin(context);
        started(kDNSServiceErr_NoError);
    }

    // Ends every open request; no reply is posted afterwards. Subclasses that
    // arm timers cancel them and call this.
    void stop() override;

protected:
    using Handler = std::function<void(const Unicast::Answer& answer)>;

    // Asks `name` for records of `type`; `handler` gets the answer unless the
    // operation stopped first. A handler that runs out of memory loses its
    // reply (orLose).
    void ask(const std::string& name, std::uint16_t type, Handler handler);

    UnicastContext context_{};
    bool stopped_ = false;

private:
    std::set<Unicast::DnsClient::Request> open_;
};

// The error code a failed exchange gives a caller: no server answered.
DNSServiceErrorType unicastFailureCode(Unicast::Outcome outcome);

}  // namespace Zelm::DnsSd

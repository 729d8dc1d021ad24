#include "operations/ResolveOperation.h"

#include "names/InterfaceIndex.h"
#include "names/ServiceNames.h"
#include "names/TxtRecord.h"

#include <arpa/inet.h>

#include <algorithm>

namespace Zelm::DnsSd {

ResolveOperation::ResolveOperation(Daemon::Interface interface, std::string name, std::string type,
                                   std::string domain, DNSServiceResolveReply callBack, void* context)
    : SingleObjectOperation(Daemon::kServiceResolver),
      interface_(interface),
      name_(std::move(name)),
      type_(std::move(type)),
      domain_(std::move(domain)),
      callBack_(callBack),
      context_(context) {}

void ResolveOperation::start(const DaemonContext& context, Settle settle) {
    create(context,
           Daemon::request(Daemon::kServiceResolverPrepare, Daemon::kServerPath, interface_,
                           Daemon::kAnyProtocol, name_, type_, domain_, Daemon::kAnyProtocol,
                           Daemon::kNoAddress),
           settle);
    // The daemon's one-call resolution answers at once from its cache; the
    // resolver follows the service from there. A service nobody answers for
    // comes back as an error after the daemon's own time-out: no reply.
    if (!context.channel->roomToSpare()) {
        return;  // the resolver alone answers as well, a little later
    }
    calls_.send(
        *context.channel,
        Daemon::request(Daemon::kResolveService, Daemon::kServerPath, interface_, Daemon::kAnyProtocol, name_,
                        type_, domain_, Daemon::kAnyProtocol, Daemon::kNoAddress),
        [this](const Daemon::Reply& reply) {
            if (const auto found = Daemon::read(Daemon::kResolveService, reply)) {
                orLose(sink_, [&] { onFound(*found); });
            }
        },
        Daemon::kResolveCallTimeoutMs);
}

void ResolveOperation::handleSignal(const Daemon::Incoming& signal) {
    if (const auto found = Daemon::read(Daemon::kResolverFound, signal)) {
        onFound(*found);
    } else if (const auto failure = Daemon::read(Daemon::kResolverFailure, signal)) {
        postFailure(failureCode(*failure));
    }
}

void ResolveOperation::onFound(const Daemon::ServiceFound& found) {
    const auto& [interface, protocol, name, type, domain, hostName, addressProtocol, address, port, strings,
                 flags] = found;
    // The daemon keeps a record's strings last to first, and reports them so.
    std::vector<std::string> txt(strings.strings.rbegin(), strings.strings.rend());

    const uint32_t interfaceIndex = fromDaemonInterface(interface);
    std::string fullname = fullServiceName(name, type, domain);
    std::string host = withTrailingDot(hostName);
    std::string record = txtRecordBytes(txt);
    std::string answer = std::to_string(interfaceIndex) + '\n' + fullname + '\n' + host + '\n' +
                         std::to_string(port) + '\n' + record;
    if (answer == lastAnswer_) {
        return;
    }
    lastAnswer_ = std::move(answer);

    const uint16_t networkPort = htons(port);
    sink_->post([callBack = callBack_, context = context_, interfaceIndex, fullname = std::move(fullname),
                 host = std::move(host), networkPort,
                 record = std::move(record)](DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, more, interfaceIndex, kDNSServiceErr_NoError, fullname.c_str(), host.c_str(),
                 networkPort, static_cast<uint16_t>(record.size()),
                 reinterpret_cast<const unsigned char*>(record.data()), context);
    });
}

void ResolveOperation::postFailure(DNSServiceErrorType code) {
    lastAnswer_.clear();
    sink_->post([callBack = callBack_, context = context_, code](DNSServiceRef ref, DNSServiceFlags more) {
        static const unsigned char emptyRecord[1] = {0};
        callBack(ref, more, kDNSServiceInterfaceIndexAny, code, "", "", 0, 1, emptyRecord, context);
    });
}

}  // namespace Zelm::DnsSd

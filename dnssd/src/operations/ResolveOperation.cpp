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
    const char* name = name_.c_str();
    const char* type = type_.c_str();
    const char* domain = domain_.c_str();
    const Daemon::Protocol protocol = Daemon::kAnyProtocol;
    const uint32_t flags = Daemon::kNoAddress;
    Message prepare = daemonCall(Daemon::kServerPath, Daemon::kServer2, "ServiceResolverPrepare");
    if (prepare && !append(prepare.get(), DBUS_TYPE_INT32, &interface_, DBUS_TYPE_INT32, &protocol,
                           DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &type, DBUS_TYPE_STRING, &domain,
                           DBUS_TYPE_INT32, &protocol, DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID)) {
        prepare.reset();
    }
    create(context, prepare, settle);
}

void ResolveOperation::handleSignal(DBusMessage* signal) {
    if (dbus_message_is_signal(signal, Daemon::kServiceResolver, "Found")) {
        onFound(signal);
    } else if (dbus_message_is_signal(signal, Daemon::kServiceResolver, "Failure")) {
        postFailure(failureOf(signal));
    }
}

void ResolveOperation::onFound(DBusMessage* signal) {
    // interface, protocol, name, type, domain, host, aprotocol, address, port, txt, flags
    DBusMessageIter arguments;
    if (!dbus_message_iter_init(signal, &arguments)) {
        return;
    }
    Daemon::Interface interface = 0;
    const char* strings[4] = {};  // name, type, domain, host
    uint16_t port = 0;
    std::vector<std::string> txt;
    dbus_message_iter_get_basic(&arguments, &interface);
    dbus_message_iter_next(&arguments);  // protocol
    for (const char*& text : strings) {
        if (!dbus_message_iter_next(&arguments) ||
            dbus_message_iter_get_arg_type(&arguments) != DBUS_TYPE_STRING) {
            return;
        }
        dbus_message_iter_get_basic(&arguments, &text);
    }
    dbus_message_iter_next(&arguments);  // aprotocol
    dbus_message_iter_next(&arguments);  // address
    if (!dbus_message_iter_next(&arguments) ||
        dbus_message_iter_get_arg_type(&arguments) != DBUS_TYPE_UINT16) {
        return;
    }
    dbus_message_iter_get_basic(&arguments, &port);
    if (!dbus_message_iter_next(&arguments) || !readTxt(arguments, txt)) {
        return;
    }
    // The daemon keeps a record's strings last to first, and reports them so.
    std::reverse(txt.begin(), txt.end());

    const uint32_t interfaceIndex = fromDaemonInterface(interface);
    std::string fullname = fullServiceName(strings[0], strings[1], strings[2]);
    std::string host = withTrailingDot(strings[3]);
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

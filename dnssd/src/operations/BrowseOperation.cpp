#include "operations/BrowseOperation.h"

#include "names/InterfaceIndex.h"
#include "names/ServiceNames.h"

namespace Zelm::DnsSd {

BrowseOperation::BrowseOperation(Kind kind, Daemon::Interface interface, std::string browsedType,
                                 std::string domain, DNSServiceBrowseReply callBack, void* context)
    : SingleObjectOperation(kind == Kind::Instances ? Daemon::kServiceBrowser : Daemon::kServiceTypeBrowser),
      kind_(kind),
      interface_(interface),
      browsedType_(std::move(browsedType)),
      domain_(std::move(domain)),
      callBack_(callBack),
      context_(context) {}

void BrowseOperation::start(const DaemonContext& context, Settle settle) {
    const char* domain = domain_.c_str();
    const char* type = browsedType_.c_str();
    const Daemon::Protocol protocol = Daemon::kAnyProtocol;
    const uint32_t flags = 0;
    Message prepare;
    if (kind_ == Kind::Instances) {
        prepare = daemonCall(Daemon::kServerPath, Daemon::kServer2, "ServiceBrowserPrepare");
        if (prepare &&
            !append(prepare.get(), DBUS_TYPE_INT32, &interface_, DBUS_TYPE_INT32, &protocol, DBUS_TYPE_STRING,
                    &type, DBUS_TYPE_STRING, &domain, DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID)) {
            prepare.reset();
        }
    } else {
        prepare = daemonCall(Daemon::kServerPath, Daemon::kServer2, "ServiceTypeBrowserPrepare");
        if (prepare && !append(prepare.get(), DBUS_TYPE_INT32, &interface_, DBUS_TYPE_INT32, &protocol,
                               DBUS_TYPE_STRING, &domain, DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID)) {
            prepare.reset();
        }
    }
    create(context, prepare, settle);
}

void BrowseOperation::handleSignal(DBusMessage* signal) {
    const char* interfaceName =
        kind_ == Kind::Instances ? Daemon::kServiceBrowser : Daemon::kServiceTypeBrowser;
    const bool added = dbus_message_is_signal(signal, interfaceName, "ItemNew");
    if (added || dbus_message_is_signal(signal, interfaceName, "ItemRemove")) {
        Daemon::Interface interface = 0;
        Daemon::Protocol protocol = 0;
        const char* name = "";
        const char* type = nullptr;
        const char* domain = nullptr;
        uint32_t flags = 0;
        const bool read =
            kind_ == Kind::Instances
                ? dbus_message_get_args(signal, nullptr, DBUS_TYPE_INT32, &interface, DBUS_TYPE_INT32,
                                        &protocol, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &type,
                                        DBUS_TYPE_STRING, &domain, DBUS_TYPE_UINT32, &flags,
                                        DBUS_TYPE_INVALID)
                : dbus_message_get_args(signal, nullptr, DBUS_TYPE_INT32, &interface, DBUS_TYPE_INT32,
                                        &protocol, DBUS_TYPE_STRING, &type, DBUS_TYPE_STRING, &domain,
                                        DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID);
        if (read) {
            onItem(added, interface, protocol, name, type, domain);
        }
    } else if (dbus_message_is_signal(signal, interfaceName, "Failure")) {
        postFailure(failureOf(signal));
    }
    // AllForNow and CacheExhausted say nothing a DNS-SD caller is told.
}

void BrowseOperation::onItem(bool added, Daemon::Interface interface, Daemon::Protocol protocol,
                             const char* name, const char* type, const char* domain) {
    const auto key = std::make_tuple(interface, std::string(name), std::string(type), std::string(domain));
    const bool changed = added ? sightings_.add(key, protocol) : sightings_.remove(key, protocol);
    if (!changed) {
        return;
    }
    const DNSServiceFlags flags = added ? kDNSServiceFlagsAdd : 0;
    if (kind_ == Kind::Instances) {
        postItem(flags, interface, name, withTrailingDot(type), withTrailingDot(domain));
        return;
    }
    // "_http._tcp" in "local" is the instance "_http" of the type "_tcp.local."
    const std::string serviceType = type;
    const size_t dot = serviceType.find('.');
    postItem(flags, interface, serviceType.substr(0, dot),
             withTrailingDot((dot == std::string::npos ? std::string() : serviceType.substr(dot + 1) + ".") +
                             domain),
             ".");
}

void BrowseOperation::postItem(DNSServiceFlags flags, Daemon::Interface interface, std::string name,
                               std::string type, std::string domain) {
    const uint32_t interfaceIndex = fromDaemonInterface(interface);
    sink_->post([callBack = callBack_, context = context_, flags, interfaceIndex, name = std::move(name),
                 type = std::move(type),
                 domain = std::move(domain)](DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, flags | more, interfaceIndex, kDNSServiceErr_NoError, name.c_str(), type.c_str(),
                 domain.c_str(), context);
    });
}

void BrowseOperation::postFailure(DNSServiceErrorType code) {
    sink_->post([callBack = callBack_, context = context_, code](DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, more, kDNSServiceInterfaceIndexAny, code, "", "", "", context);
    });
}

}  // namespace Zelm::DnsSd

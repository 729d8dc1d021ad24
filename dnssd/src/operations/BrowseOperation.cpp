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
    const uint32_t flags = 0;
    if (kind_ == Kind::Instances) {
        create(context,
               Daemon::request(Daemon::kServiceBrowserPrepare, Daemon::kServerPath, interface_,
                               Daemon::kAnyProtocol, browsedType_, domain_, flags),
               settle);
    } else {
        create(context,
               Daemon::request(Daemon::kServiceTypeBrowserPrepare, Daemon::kServerPath, interface_,
                               Daemon::kAnyProtocol, domain_, flags),
               settle);
    }
}

void BrowseOperation::handleSignal(const Daemon::Incoming& signal) {
    if (kind_ == Kind::Instances) {
        const auto added = Daemon::read(Daemon::kServiceNew, signal);
        const auto removed = added ? std::nullopt : Daemon::read(Daemon::kServiceRemove, signal);
        if (added || removed) {
            const auto& [interface, protocol, name, type, domain, flags] = added ? *added : *removed;
            onItem(added.has_value(), interface, protocol, name, type, domain);
        } else if (const auto failure = Daemon::read(Daemon::kServiceBrowserFailure, signal)) {
            postFailure(failureCode(*failure));
        }
        return;
    }
    const auto added = Daemon::read(Daemon::kTypeNew, signal);
    const auto removed = added ? std::nullopt : Daemon::read(Daemon::kTypeRemove, signal);
    if (added || removed) {
        const auto& [interface, protocol, type, domain, flags] = added ? *added : *removed;
        onItem(added.has_value(), interface, protocol, std::string(), type, domain);
    } else if (const auto failure = Daemon::read(Daemon::kTypeBrowserFailure, signal)) {
        postFailure(failureCode(*failure));
    }
    // AllForNow and CacheExhausted say nothing a DNS-SD caller is told.
}

void BrowseOperation::onItem(bool added, Daemon::Interface interface, Daemon::Protocol protocol,
                             const std::string& name, const std::string& type, const std::string& domain) {
    const auto key = std::make_tuple(interface, name, type, domain);
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
    const size_t dot = type.find('.');
    postItem(
        flags, interface, type.substr(0, dot),
        withTrailingDot((dot == std::string::npos ? std::string() : type.substr(dot + 1) + ".") + domain),
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

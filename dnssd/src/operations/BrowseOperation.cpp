#include "BrowseOperation.h"

#include "ErrorCodes.h"
#include "InterfaceIndex.h"
#include "ServiceNames.h"

#include <avahi-common/error.h>

namespace Zelm::DnsSd {

namespace {

unsigned protocolBit(AvahiProtocol protocol) { return 1u << (protocol < 0 ? 2 : protocol); }

}  // namespace

BrowseOperation::BrowseOperation(AvahiIfIndex interface, std::string browsedType, std::string domain,
                                 DNSServiceBrowseReply callBack, void* context)
    : interface_(interface),
      browsedType_(std::move(browsedType)),
      domain_(std::move(domain)),
      callBack_(callBack),
      context_(context) {}

BrowseOperation::~BrowseOperation() = default;

int BrowseOperation::start(const DaemonContext& context) {
    client_ = context.client;
    sink_ = context.sink;
    browser_ = avahi_service_browser_new(client_, interface_, AVAHI_PROTO_UNSPEC, browsedType_.c_str(),
                                         domain_.empty() ? nullptr : domain_.c_str(),
                                         static_cast<AvahiLookupFlags>(0), &BrowseOperation::onEvent, this);
    return browser_ != nullptr ? AVAHI_OK : avahi_client_errno(client_);
}

void BrowseOperation::stop() {
    if (browser_ != nullptr) {
        avahi_service_browser_free(browser_);
        browser_ = nullptr;
    }
}

void BrowseOperation::onEvent(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                              AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                              AvahiLookupResultFlags, void* userdata) {
    withoutThrowing([&] {
        auto* self = static_cast<BrowseOperation*>(userdata);
        switch (event) {
            case AVAHI_BROWSER_NEW: {
                unsigned& seen = self->protocolsSeen_[InstanceKey(interface, name, type, domain)];
                const bool first = seen == 0;
                seen |= protocolBit(protocol);
                if (first) {
                    self->postInstance(kDNSServiceFlagsAdd, interface, name, type, domain);
                }
                break;
            }
            case AVAHI_BROWSER_REMOVE: {
                const auto found = self->protocolsSeen_.find(InstanceKey(interface, name, type, domain));
                if (found == self->protocolsSeen_.end()) {
                    break;
                }
                found->second &= ~protocolBit(protocol);
                if (found->second == 0) {
                    self->protocolsSeen_.erase(found);
                    self->postInstance(0, interface, name, type, domain);
                }
                break;
            }
            case AVAHI_BROWSER_FAILURE:
                self->postFailure(failureFromAvahiError(avahi_client_errno(self->client_)));
                break;
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
            case AVAHI_BROWSER_ALL_FOR_NOW:
                break;
        }
    });
}

void BrowseOperation::postInstance(DNSServiceFlags flags, AvahiIfIndex interface, const char* name,
                                   const char* type, const char* domain) {
    const uint32_t interfaceIndex = fromAvahiInterface(interface);
    sink_->post([callBack = callBack_, context = context_, flags, interfaceIndex, name = std::string(name),
                 type = withTrailingDot(type),
                 domain = withTrailingDot(domain)](DNSServiceRef ref, DNSServiceFlags more) {
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

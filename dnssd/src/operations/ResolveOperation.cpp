#include "ResolveOperation.h"

#include "AvahiTxt.h"
#include "ErrorCodes.h"
#include "InterfaceIndex.h"
#include "ServiceNames.h"
#include "TxtRecord.h"

#include <avahi-common/error.h>

#include <arpa/inet.h>

namespace Zelm::DnsSd {

ResolveOperation::ResolveOperation(AvahiIfIndex interface, std::string name, std::string type,
                                   std::string domain, DNSServiceResolveReply callBack, void* context)
    : interface_(interface),
      name_(std::move(name)),
      type_(std::move(type)),
      domain_(std::move(domain)),
      callBack_(callBack),
      context_(context) {}

ResolveOperation::~ResolveOperation() = default;

int ResolveOperation::start(const DaemonContext& context) {
    client_ = context.client;
    sink_ = context.sink;
    resolver_ =
        avahi_service_resolver_new(client_, interface_, AVAHI_PROTO_UNSPEC, name_.c_str(), type_.c_str(),
                                   domain_.empty() ? nullptr : domain_.c_str(), AVAHI_PROTO_UNSPEC,
                                   AVAHI_LOOKUP_NO_ADDRESS, &ResolveOperation::onEvent, this);
    return resolver_ != nullptr ? AVAHI_OK : avahi_client_errno(client_);
}

void ResolveOperation::stop() {
    if (resolver_ != nullptr) {
        avahi_service_resolver_free(resolver_);
        resolver_ = nullptr;
    }
}

void ResolveOperation::onEvent(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol,
                               AvahiResolverEvent event, const char* name, const char* type,
                               const char* domain, const char* hostName, const AvahiAddress*, uint16_t port,
                               AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
    withoutThrowing([&] {
        auto* self = static_cast<ResolveOperation*>(userdata);
        if (event == AVAHI_RESOLVER_FAILURE) {
            self->postFailure(failureFromAvahiError(avahi_client_errno(self->client_)));
            return;
        }
        const uint32_t interfaceIndex = fromAvahiInterface(interface);
        std::string fullname = fullServiceName(name, type, domain);
        std::string host = withTrailingDot(hostName != nullptr ? hostName : "");
        std::string record = txtRecordBytes(fromResolvedList(txt));

        std::string answer = std::to_string(interfaceIndex) + '\n' + fullname + '\n' + host + '\n' +
                             std::to_string(port) + '\n' + record;
        if (answer == self->lastAnswer_) {
            return;
        }
        self->lastAnswer_ = std::move(answer);

        const uint16_t networkPort = htons(port);
        self->sink_->post([callBack = self->callBack_, context = self->context_, interfaceIndex,
                           fullname = std::move(fullname), host = std::move(host), networkPort,
                           record = std::move(record)](DNSServiceRef ref, DNSServiceFlags more) {
            callBack(ref, more, interfaceIndex, kDNSServiceErr_NoError, fullname.c_str(), host.c_str(),
                     networkPort, static_cast<uint16_t>(record.size()),
                     reinterpret_cast<const unsigned char*>(record.data()), context);
        });
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

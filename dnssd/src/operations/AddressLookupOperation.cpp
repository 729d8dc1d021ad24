#include "AddressLookupOperation.h"

#include "ErrorCodes.h"
#include "InterfaceIndex.h"
#include "ServiceNames.h"

#include <avahi-common/defs.h>
#include <avahi-common/error.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace Zelm::DnsSd {

namespace {

// Multicast DNS gives host address records this time to live.
constexpr uint32_t kAddressTtlSeconds = 120;

unsigned protocolBit(AvahiProtocol protocol) { return 1u << (protocol < 0 ? 2 : protocol); }

bool isLinkLocal(const in6_addr& address) {
    return IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_MC_LINKLOCAL(&address);
}

}  // namespace

AddressLookupOperation::AddressLookupOperation(AvahiIfIndex interface, bool ipv4, bool ipv6,
                                               std::string hostName, DNSServiceGetAddrInfoReply callBack,
                                               void* context)
    : interface_(interface),
      hostName_(withoutTrailingDot(hostName)),
      replyName_(withTrailingDot(hostName)),
      callBack_(callBack),
      context_(context) {
    if (ipv4) {
        families_.push_back(Family{this, AF_INET});
    }
    if (ipv6) {
        families_.push_back(Family{this, AF_INET6});
    }
}

AddressLookupOperation::~AddressLookupOperation() = default;

int AddressLookupOperation::start(const DaemonContext& context) {
    client_ = context.client;
    sink_ = context.sink;
    for (Family& family : families_) {
        const uint16_t type = family.addressFamily == AF_INET ? AVAHI_DNS_TYPE_A : AVAHI_DNS_TYPE_AAAA;
        family.browser = avahi_record_browser_new(client_, interface_, AVAHI_PROTO_UNSPEC, hostName_.c_str(),
                                                  AVAHI_DNS_CLASS_IN, type, static_cast<AvahiLookupFlags>(0),
                                                  &AddressLookupOperation::onRecord, &family);
        if (family.browser == nullptr) {
            const int error = avahi_client_errno(client_);
            stop();
            return error;
        }
    }
    return AVAHI_OK;
}

void AddressLookupOperation::stop() {
    for (Family& family : families_) {
        if (family.browser != nullptr) {
            avahi_record_browser_free(family.browser);
            family.browser = nullptr;
        }
    }
}

void AddressLookupOperation::onRecord(AvahiRecordBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                                      AvahiBrowserEvent event, const char*, uint16_t, uint16_t,
                                      const void* rdata, size_t size, AvahiLookupResultFlags,
                                      void* userdata) {
    withoutThrowing([&] {
        auto* family = static_cast<Family*>(userdata);
        family->owner->recordEvent(*family, interface, protocol, event, rdata, size);
    });
}

void AddressLookupOperation::recordEvent(Family& family, AvahiIfIndex interface, AvahiProtocol protocol,
                                         AvahiBrowserEvent event, const void* rdata, size_t size) {
    switch (event) {
        case AVAHI_BROWSER_NEW:
        case AVAHI_BROWSER_REMOVE: {
            const size_t expected = family.addressFamily == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
            if (rdata == nullptr || size != expected) {
                return;
            }
            const AddressKey key(interface, family.addressFamily,
                                 std::string(static_cast<const char*>(rdata), size));
            if (event == AVAHI_BROWSER_NEW) {
                unsigned& seen = protocolsSeen_[key];
                const bool first = seen == 0;
                seen |= protocolBit(protocol);
                if (first) {
                    answered_ = true;
                    postAddress(kDNSServiceFlagsAdd, interface, family.addressFamily, std::get<2>(key));
                }
            } else {
                const auto found = protocolsSeen_.find(key);
                if (found == protocolsSeen_.end()) {
                    return;
                }
                found->second &= ~protocolBit(protocol);
                if (found->second == 0) {
                    protocolsSeen_.erase(found);
                    postAddress(0, interface, family.addressFamily, std::get<2>(key));
                }
            }
            return;
        }
        case AVAHI_BROWSER_FAILURE: {
            // A time-out only says that nobody answered, which is no reply.
            const int error = avahi_client_errno(client_);
            if (error != AVAHI_ERR_TIMEOUT && !answered_) {
                postFailure(failureFromAvahiError(error));
            }
            return;
        }
        case AVAHI_BROWSER_ALL_FOR_NOW:
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            // "Nothing more for now" is no answer: the query runs on, and a
            // host that shows up later is still reported.
            return;
    }
}

void AddressLookupOperation::postAddress(DNSServiceFlags flags, AvahiIfIndex interface, int addressFamily,
                                         const std::string& address) {
    sockaddr_storage storage{};
    if (addressFamily == AF_INET) {
        auto* ipv4 = reinterpret_cast<sockaddr_in*>(&storage);
        ipv4->sin_family = AF_INET;
        std::memcpy(&ipv4->sin_addr, address.data(), sizeof ipv4->sin_addr);
    } else {
        auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&storage);
        ipv6->sin6_family = AF_INET6;
        std::memcpy(&ipv6->sin6_addr, address.data(), sizeof ipv6->sin6_addr);
        if (isLinkLocal(ipv6->sin6_addr)) {
            ipv6->sin6_scope_id = fromAvahiInterface(interface);
        }
    }
    const uint32_t interfaceIndex = fromAvahiInterface(interface);
    sink_->post([callBack = callBack_, context = context_, flags, interfaceIndex, name = replyName_, storage](
                    DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, flags | more, interfaceIndex, kDNSServiceErr_NoError, name.c_str(),
                 reinterpret_cast<const sockaddr*>(&storage), kAddressTtlSeconds, context);
    });
}

void AddressLookupOperation::postFailure(DNSServiceErrorType code) {
    answered_ = true;
    // The address of an error reply is the unspecified address of the first
    // family asked for.
    sockaddr_storage storage{};
    storage.ss_family = static_cast<sa_family_t>(families_.front().addressFamily);
    sink_->post([callBack = callBack_, context = context_, code, name = replyName_, storage](
                    DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, more, kDNSServiceInterfaceIndexAny, code, name.c_str(),
                 reinterpret_cast<const sockaddr*>(&storage), 0, context);
    });
}

}  // namespace Zelm::DnsSd

#include "operations/UnicastLookupOperation.h"

#include "names/SocketAddress.h"
#include "unicast/DnsAnswer.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace Zelm::DnsSd {

UnicastLookupOperation::UnicastLookupOperation(bool ipv4, bool ipv6, std::string hostName,
                                               DNSServiceGetAddrInfoReply callBack, void* context)
    : ipv4_(ipv4), ipv6_(ipv6), hostName_(std::move(hostName)), callBack_(callBack), userContext_(context) {}

void UnicastLookupOperation::begin(const UnicastContext& context) {
    context_ = context;
    waiting_ = (ipv4_ ? 1 : 0) + (ipv6_ ? 1 : 0);
    for (const std::uint16_t type : {ns_t_a, ns_t_aaaa}) {
        if (type == ns_t_a ? ipv4_ : ipv6_) {
            ask(hostName_, type, [this, type](const Unicast::Answer& answer) { onAnswer(type, answer); });
        }
    }
}

void UnicastLookupOperation::onAnswer(std::uint16_t type, const Unicast::Answer& answer) {
    --waiting_;
    if (answer.outcome == Unicast::Outcome::kAnswered) {
        // The answer names the question as c-ares sent it, the search
        // domain's suffix included: read it for that name.
        const Unicast::ReadAnswer read =
            Unicast::readAnswer(answer.message, Unicast::questionName(answer.message), type);
        for (const Unicast::Record& record : read.records) {
            const bool v4 = type == ns_t_a && record.address.size() == sizeof(in_addr);
            const bool v6 = type == ns_t_aaaa && record.address.size() == sizeof(in6_addr);
            if (v4 || v6) {
                found_ = true;
                postAddress(v4 ? AF_INET : AF_INET6, record.address, record.ttl);
            }
        }
    } else if (answer.outcome != Unicast::Outcome::kNoAnswer) {
        failure_ = answer.outcome;
    }
    if (waiting_ == 0 && !found_) {
        postFailure(failure_ == Unicast::Outcome::kAnswered ? kDNSServiceErr_NoSuchName
                                                            : unicastFailureCode(failure_));
    }
}

void UnicastLookupOperation::postAddress(int family, const std::string& address, std::uint32_t ttl) {
    const sockaddr_storage storage = socketAddress(family, address);
    context_.sink->post([callBack = callBack_, context = userContext_, name = hostName_, storage, ttl](
                            DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, kDNSServiceFlagsAdd | more, kDNSServiceInterfaceIndexAny, kDNSServiceErr_NoError,
                 name.c_str(), reinterpret_cast<const sockaddr*>(&storage), ttl, context);
    });
}

void UnicastLookupOperation::postFailure(DNSServiceErrorType code) {
    if (code == kDNSServiceErr_NoMemory) {
        context_.sink->lose();
        return;
    }
    // The address of an error reply is the unspecified address of the first
    // family asked for, as on the link.
    sockaddr_storage storage{};
    storage.ss_family = static_cast<sa_family_t>(ipv4_ ? AF_INET : AF_INET6);
    context_.sink->post([callBack = callBack_, context = userContext_, code, name = hostName_, storage](
                            DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, more, kDNSServiceInterfaceIndexAny, code, name.c_str(),
                 reinterpret_cast<const sockaddr*>(&storage), 0, context);
    });
}

}  // namespace Zelm::DnsSd

#include "operations/AddressLookupOperation.h"

#include "daemon/DaemonObject.h"
#include "names/ErrorCodes.h"
#include "names/InterfaceIndex.h"
#include "names/ServiceNames.h"
#include "names/SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace Zelm::DnsSd {

namespace {

// Multicast DNS gives host address records this time to live.
constexpr uint32_t kAddressTtlSeconds = 120;

bool isLinkLocal(const in6_addr& address) {
    return IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_MC_LINKLOCAL(&address);
}

}  // namespace

// One address family: its record browser and its one-call resolution.
struct AddressLookupOperation::Family : SignalTarget {
    Family(AddressLookupOperation& owner, int addressFamily)
        : owner(owner), addressFamily(addressFamily), browser(Daemon::kRecordBrowser, *this) {}

    void onSignal(const Daemon::Incoming& signal) override {
        orLose(owner.sink_, [&] { handleSignal(signal); });
    }

    void handleSignal(const Daemon::Incoming& signal) {
        const auto added = Daemon::read(Daemon::kRecordNew, signal);
        const auto removed = added ? std::nullopt : Daemon::read(Daemon::kRecordRemove, signal);
        if (added || removed) {
            const auto& [interface, protocol, name, recordClass, recordType, data, flags] =
                added ? *added : *removed;
            owner.onAddress(added.has_value(), interface, protocol, addressFamily, data.data);
        } else if (const auto failure = Daemon::read(Daemon::kRecordBrowserFailure, signal)) {
            owner.onFailure(publicCode(fromDaemonError(std::get<0>(*failure).c_str())));
        }
        // AllForNow and CacheExhausted are no answer: the query runs on, and
        // a host that shows up later is still reported.
    }

    AddressLookupOperation& owner;
    const int addressFamily;  // AF_INET or AF_INET6
    DaemonObject browser;
};

AddressLookupOperation::AddressLookupOperation(Daemon::Interface interface, bool ipv4, bool ipv6,
                                               std::string hostName, DNSServiceGetAddrInfoReply callBack,
                                               void* context)
    : interface_(interface),
      hostName_(withoutTrailingDot(hostName)),
      replyName_(withTrailingDot(hostName)),
      callBack_(callBack),
      context_(context) {
    if (ipv4) {
        families_.push_back(std::make_unique<Family>(*this, AF_INET));
    }
    if (ipv6) {
        families_.push_back(std::make_unique<Family>(*this, AF_INET6));
    }
}

AddressLookupOperation::~AddressLookupOperation() = default;

void AddressLookupOperation::start(const DaemonContext& context, Settle settle) {
    sink_ = context.sink;
    // Settled once every record browser is made, or at the first failure.
    auto outstanding = std::make_shared<size_t>(families_.size());
    const DaemonObject::Outcome created = [this, outstanding, settle](DNSServiceErrorType error) {
        if (!settle) {
            return;
        }
        if (error != kDNSServiceErr_NoError) {
            stop();
            settle(error);
        } else if (--*outstanding == 0) {
            settle(error);
        }
    };
    const uint32_t flags = 0;
    for (const auto& family : families_) {
        const uint16_t recordType = family->addressFamily == AF_INET ? Daemon::kTypeA : Daemon::kTypeAAAA;
        family->browser.create(
            *context.channel,
            Daemon::request(Daemon::kRecordBrowserPrepare, Daemon::kServerPath, interface_,
                            Daemon::kAnyProtocol, hostName_, Daemon::kClassIN, recordType, flags),
            calls_, true, created,
            [this](DNSServiceErrorType code) { orLose(sink_, [&] { onFailure(publicCode(code)); }); });
        if (!settle) {
            return;
        }
        if (context.channel->roomToSpare()) {
            resolveAtOnce(*context.channel, *family);  // the record browser alone answers a little later
        }
    }
}

void AddressLookupOperation::resolveAtOnce(Channel& channel, Family& family) {
    const int addressFamily = family.addressFamily;
    const Daemon::Protocol addressProtocol = addressFamily == AF_INET ? Daemon::kIPv4 : Daemon::kIPv6;
    const uint32_t flags = 0;
    calls_.send(
        channel,
        Daemon::request(Daemon::kResolveHostName, Daemon::kServerPath, interface_, Daemon::kAnyProtocol,
                        hostName_, addressProtocol, flags),
        [this, addressFamily](const Daemon::Reply& reply) {
            // A host nobody answers for comes back as an error: no reply.
            const auto resolved = Daemon::read(Daemon::kResolveHostName, reply);
            if (!resolved) {
                return;
            }
            const auto& [interface, protocol, name, answeredProtocol, text, answerFlags] = *resolved;
            unsigned char address[sizeof(in6_addr)];
            if (::inet_pton(addressFamily, text.c_str(), address) == 1) {
                orLose(sink_, [&] {
                    onAddress(true, interface, protocol, addressFamily,
                              std::string(reinterpret_cast<const char*>(address),
                                          addressFamily == AF_INET ? sizeof(in_addr) : sizeof(in6_addr)));
                });
            }
        },
        Daemon::kResolveCallTimeoutMs);
}

void AddressLookupOperation::stop() {
    calls_.dropAll();
    for (const auto& family : families_) {
        family->browser.free();
    }
}

void AddressLookupOperation::forgetDaemon() {
    calls_.dropAll();
    for (const auto& family : families_) {
        family->browser.forget();
    }
}

bool AddressLookupOperation::daemonLost() {
    forgetDaemon();
    return false;
}

void AddressLookupOperation::onAddress(bool added, Daemon::Interface interface, Daemon::Protocol protocol,
                                       int addressFamily, const std::string& address) {
    const size_t expected = addressFamily == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
    if (address.size() != expected) {
        return;
    }
    const auto key = std::make_tuple(interface, addressFamily, address);
    if (added ? sightings_.add(key, protocol) : sightings_.remove(key, protocol)) {
        answered_ = answered_ || added;
        postAddress(added ? kDNSServiceFlagsAdd : 0, interface, addressFamily, std::get<2>(key));
    }
}

void AddressLookupOperation::onFailure(DNSServiceErrorType code) {
    // A time-out only says that nobody answered, which is no reply.
    if (code == kDNSServiceErr_Timeout || answered_) {
        return;
    }
    answered_ = true;
    // The address of an error reply is the unspecified address of the first
    // family asked for.
    sockaddr_storage storage{};
    storage.ss_family = static_cast<sa_family_t>(families_.front()->addressFamily);
    sink_->post([callBack = callBack_, context = context_, code, name = replyName_, storage](
                    DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, more, kDNSServiceInterfaceIndexAny, code, name.c_str(),
                 reinterpret_cast<const sockaddr*>(&storage), 0, context);
    });
}

void AddressLookupOperation::postAddress(DNSServiceFlags flags, Daemon::Interface interface,
                                         int addressFamily, const std::string& address) {
    in6_addr ipv6{};
    if (addressFamily == AF_INET6) {
        std::memcpy(&ipv6, address.data(), sizeof ipv6);
    }
    const sockaddr_storage storage =
        socketAddress(addressFamily, address, isLinkLocal(ipv6) ? fromDaemonInterface(interface) : 0);
    const uint32_t interfaceIndex = fromDaemonInterface(interface);
    sink_->post([callBack = callBack_, context = context_, flags, interfaceIndex, name = replyName_, storage](
                    DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, flags | more, interfaceIndex, kDNSServiceErr_NoError, name.c_str(),
                 reinterpret_cast<const sockaddr*>(&storage), kAddressTtlSeconds, context);
    });
}

}  // namespace Zelm::DnsSd

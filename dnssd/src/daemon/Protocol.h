#pragma once

// The Avahi daemon's D-Bus interface as this backend uses it, declared once:
// every method and signal with its interface, member and argument types
// (which give its signature), and the numbers they carry. Requests are built
// from these declarations and events read through them (Messages.h), so no
// other code names a member or reads an argument by position.

#include "daemon/Values.h"

#include <cstdint>
#include <string>
#include <tuple>

namespace Zelm::DnsSd::Daemon {

constexpr const char* kService = "org.freedesktop.Avahi";
constexpr const char* kServerPath = "/";
constexpr const char* kServer = "org.freedesktop.Avahi.Server";
// The version of the server interface with the Prepare methods: a browser or
// resolver made by one reports nothing until it is started, so that no event
// can arrive before its caller knows the object's path.
constexpr const char* kServer2 = "org.freedesktop.Avahi.Server2";
constexpr const char* kEntryGroup = "org.freedesktop.Avahi.EntryGroup";
constexpr const char* kServiceBrowser = "org.freedesktop.Avahi.ServiceBrowser";
constexpr const char* kServiceTypeBrowser = "org.freedesktop.Avahi.ServiceTypeBrowser";
constexpr const char* kServiceResolver = "org.freedesktop.Avahi.ServiceResolver";
constexpr const char* kRecordBrowser = "org.freedesktop.Avahi.RecordBrowser";

// The bus driver, which reports who owns the daemon's name.
constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";

// Interface and protocol numbers: -1 is "any".
using Interface = int32_t;
using Protocol = int32_t;
constexpr Interface kAnyInterface = -1;
constexpr Protocol kAnyProtocol = -1;
constexpr Protocol kIPv4 = 0;
constexpr Protocol kIPv6 = 1;

// Lookup flag: a resolver that reports no address of the target host.
constexpr uint32_t kNoAddress = 8;

constexpr uint16_t kClassIN = 1;
constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeTXT = 16;
constexpr uint16_t kTypeSRV = 33;
constexpr uint16_t kTypeAAAA = 28;

// Publication flags of a record: probed and defended as this host's alone;
// replacing the group's record of the same name and type.
constexpr uint32_t kPublishUnique = 1;
constexpr uint32_t kPublishUpdate = 64;

// The server's and an entry group's states.
enum class ServerState : int32_t { Invalid = 0, Registering = 1, Running = 2, Collision = 3, Failure = 4 };
enum class GroupState : int32_t {
    Uncommitted = 0,
    Registering = 1,
    Established = 2,
    Collision = 3,
    Failure = 4
};

// Requests to a daemon that answers at once. A daemon that does not answer
// within this time is taken for gone.
constexpr int kCallTimeoutMs = 5000;

// The one-call resolutions answer at once from the daemon's cache; for a
// name it has to ask for, the daemon gives up after a few seconds by itself.
constexpr int kResolveCallTimeoutMs = 30000;

// Who a message is to or from: the daemon (whoever owns its name now) or the
// bus driver.
enum class Peer { Daemon, Bus };

// A method: where it is, what it takes and what it returns. `interface` null:
// a method every daemon object has, on the object's own interface.
template <typename In, typename Out = std::tuple<>>
struct Method {
    Peer peer;
    const char* interface;
    const char* member;
};

// A signal and its arguments; believed only from `peer`.
template <typename Args>
struct Signal {
    Peer peer;
    const char* interface;
    const char* member;
};

using std::string;
using std::tuple;
using Path = ObjectPath;

// The bus driver.
inline constexpr Method<tuple<>, tuple<string>> kHello{Peer::Bus, kBusInterface, "Hello"};
inline constexpr Method<tuple<string>> kAddMatch{Peer::Bus, kBusInterface, "AddMatch"};
inline constexpr Method<tuple<string>, tuple<string>> kGetNameOwner{Peer::Bus, kBusInterface, "GetNameOwner"};
// name, old owner, new owner
inline constexpr Signal<tuple<string, string, string>> kNameOwnerChanged{Peer::Bus, kBusInterface,
                                                                         "NameOwnerChanged"};

// The server object ("/").
inline constexpr Method<tuple<>, tuple<string>> kGetHostName{Peer::Daemon, kServer, "GetHostName"};
inline constexpr Method<tuple<>, tuple<string>> kGetDomainName{Peer::Daemon, kServer, "GetDomainName"};
inline constexpr Method<tuple<>, tuple<int32_t>> kGetState{Peer::Daemon, kServer, "GetState"};
inline constexpr Method<tuple<>, tuple<Path>> kEntryGroupNew{Peer::Daemon, kServer, "EntryGroupNew"};
// interface, protocol, name, address protocol, flags ->
// interface, protocol, name, address protocol, address, flags
inline constexpr Method<tuple<Interface, Protocol, string, Protocol, uint32_t>,
                        tuple<Interface, Protocol, string, Protocol, string, uint32_t>>
    kResolveHostName{Peer::Daemon, kServer, "ResolveHostName"};
// A service's name, type, domain, host and TXT record, as the daemon reports
// them: interface, protocol, name, type, domain, host, address protocol,
// address, port, TXT, flags.
using ServiceFound = tuple<Interface, Protocol, string, string, string, string, Protocol, string, uint16_t,
                           ByteStrings, uint32_t>;
// interface, protocol, name, type, domain, address protocol, flags
inline constexpr Method<tuple<Interface, Protocol, string, string, string, Protocol, uint32_t>, ServiceFound>
    kResolveService{Peer::Daemon, kServer, "ResolveService"};
// interface, protocol, type, domain, flags
inline constexpr Method<tuple<Interface, Protocol, string, string, uint32_t>, tuple<Path>>
    kServiceBrowserPrepare{Peer::Daemon, kServer2, "ServiceBrowserPrepare"};
// interface, protocol, domain, flags
inline constexpr Method<tuple<Interface, Protocol, string, uint32_t>, tuple<Path>> kServiceTypeBrowserPrepare{
    Peer::Daemon, kServer2, "ServiceTypeBrowserPrepare"};
// interface, protocol, name, type, domain, address protocol, flags
inline constexpr Method<tuple<Interface, Protocol, string, string, string, Protocol, uint32_t>, tuple<Path>>
    kServiceResolverPrepare{Peer::Daemon, kServer2, "ServiceResolverPrepare"};
// interface, protocol, name, class, type, flags
inline constexpr Method<tuple<Interface, Protocol, string, uint16_t, uint16_t, uint32_t>, tuple<Path>>
    kRecordBrowserPrepare{Peer::Daemon, kServer2, "RecordBrowserPrepare"};
// state, error
inline constexpr Signal<tuple<int32_t, string>> kServerStateChanged{Peer::Daemon, kServer, "StateChanged"};

// Every daemon object (on its own interface).
inline constexpr Method<tuple<>> kStart{Peer::Daemon, nullptr, "Start"};
inline constexpr Method<tuple<>> kFree{Peer::Daemon, nullptr, "Free"};

// An entry group. interface, protocol, flags, name, type, domain, host, port, TXT
inline constexpr Method<
    tuple<Interface, Protocol, uint32_t, string, string, string, string, uint16_t, ByteStrings>>
    kAddService{Peer::Daemon, kEntryGroup, "AddService"};
// interface, protocol, flags, name, type, domain, subtype
inline constexpr Method<tuple<Interface, Protocol, uint32_t, string, string, string, string>>
    kAddServiceSubtype{Peer::Daemon, kEntryGroup, "AddServiceSubtype"};
// interface, protocol, flags, name, type, domain, TXT
inline constexpr Method<tuple<Interface, Protocol, uint32_t, string, string, string, ByteStrings>>
    kUpdateServiceTxt{Peer::Daemon, kEntryGroup, "UpdateServiceTxt"};
// interface, protocol, flags, name, class, type, TTL, data
inline constexpr Method<tuple<Interface, Protocol, uint32_t, string, uint16_t, uint16_t, uint32_t, Bytes>>
    kAddRecord{Peer::Daemon, kEntryGroup, "AddRecord"};
inline constexpr Method<tuple<>> kCommit{Peer::Daemon, kEntryGroup, "Commit"};
inline constexpr Method<tuple<>> kReset{Peer::Daemon, kEntryGroup, "Reset"};
// state, error
inline constexpr Signal<tuple<int32_t, string>> kGroupStateChanged{Peer::Daemon, kEntryGroup, "StateChanged"};

// A service browser. interface, protocol, name, type, domain, flags
using ServiceItem = tuple<Interface, Protocol, string, string, string, uint32_t>;
inline constexpr Signal<ServiceItem> kServiceNew{Peer::Daemon, kServiceBrowser, "ItemNew"};
inline constexpr Signal<ServiceItem> kServiceRemove{Peer::Daemon, kServiceBrowser, "ItemRemove"};
inline constexpr Signal<tuple<string>> kServiceBrowserFailure{Peer::Daemon, kServiceBrowser, "Failure"};

// A service type browser. interface, protocol, type, domain, flags
using TypeItem = tuple<Interface, Protocol, string, string, uint32_t>;
inline constexpr Signal<TypeItem> kTypeNew{Peer::Daemon, kServiceTypeBrowser, "ItemNew"};
inline constexpr Signal<TypeItem> kTypeRemove{Peer::Daemon, kServiceTypeBrowser, "ItemRemove"};
inline constexpr Signal<tuple<string>> kTypeBrowserFailure{Peer::Daemon, kServiceTypeBrowser, "Failure"};

// A service resolver.
inline constexpr Signal<ServiceFound> kResolverFound{Peer::Daemon, kServiceResolver, "Found"};
inline constexpr Signal<tuple<string>> kResolverFailure{Peer::Daemon, kServiceResolver, "Failure"};

// A record browser. interface, protocol, name, class, type, data, flags
using RecordItem = tuple<Interface, Protocol, string, uint16_t, uint16_t, Bytes, uint32_t>;
inline constexpr Signal<RecordItem> kRecordNew{Peer::Daemon, kRecordBrowser, "ItemNew"};
inline constexpr Signal<RecordItem> kRecordRemove{Peer::Daemon, kRecordBrowser, "ItemRemove"};
inline constexpr Signal<tuple<string>> kRecordBrowserFailure{Peer::Daemon, kRecordBrowser, "Failure"};

}  // namespace Zelm::DnsSd::Daemon

#pragma once

// The Avahi daemon's D-Bus interface as this backend uses it: names, and the
// numbers its methods and signals carry.

#include <cstdint>

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
constexpr uint16_t kTypeAAAA = 28;

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

}  // namespace Zelm::DnsSd::Daemon

#pragma once

// One operation of each kind, run on a fresh component of the plug-in, with
// the answer copied out before the component is released, and how it ended.

#include "LibraryLines.h"
#include "Plugin.h"

#include <zelm/Error.h>
#include <zelm/mdns/Info.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace Zelm::Tool {

// How a call ended, told from what the plug-in shows a host: whether the
// request was seen to start, the prefixed line of a refused start, the line
// that only says the call's time was up, and the returned code.
enum class Ending { Answered, NothingAnswered, CouldNotStart, DaemonAbsent, EndedEarly };

struct Outcome {
    Ending ending = Ending::Answered;
    int code = 0;  // the returned DNS-SD code, signed
    unsigned int timeoutMs = 0;
    long long startMs = -1;  // when the request was seen to start, if it was

    bool answered() const { return ending == Ending::Answered; }
};

Outcome judge(const WatchedCall& call, const Zelm::Error& result, bool answered);

// Why a call found nothing: the tool's one wording of each ending.
std::string explain(const Outcome& outcome);

struct Browsed {
    Outcome outcome;
    std::vector<Zelm::MDNS::Info> reports;  // every report, repeats included
};

// Browses for `timeoutMs`; an empty domain means the daemon's default.
// `onReport` runs for each report as it arrives, on the plug-in's thread.
Browsed browse(const Plugin& plugin, const std::string& type, const std::string& domain,
               unsigned int timeoutMs, const std::function<void(const Zelm::MDNS::Info&)>& onReport = {});

// A reply of the service-type enumeration: instance "_http", type
// "_tcp.local." name the type "_http._tcp" in the domain "local.".
struct ServiceType {
    std::string type;
    std::string domain;
};
ServiceType serviceTypeOf(const Zelm::MDNS::Info& reply);

// Distinct instances of `reports`, first report of each kept.
std::vector<Zelm::MDNS::Info> distinct(const std::vector<Zelm::MDNS::Info>& reports);

struct Resolved {
    Outcome outcome;
    std::string fullname;
    std::string host;
    unsigned short port = 0;
    std::string txt;  // wire form
};

Resolved resolve(const Plugin& plugin, const std::string& name, const std::string& type,
                 const std::string& domain);

struct Address {
    Outcome outcome;
    std::string address;  // numeric text; empty when nothing was found
    int family = 0;       // AF_INET or AF_INET6 when found
};

// `protocol` is 0 (either), 1 (IPv4) or 2 (IPv6).
Address lookup(const Plugin& plugin, const std::string& host, unsigned int protocol);

}  // namespace Zelm::Tool

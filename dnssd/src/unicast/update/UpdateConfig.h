#pragma once

// The configuration of registrations by DNS UPDATE: per zone (or by
// default) the server to send to, the TSIG key, and the host name to
// register the device's addresses under. Read from kDefaultUpdateConfigPath,
// or the file ZELM_DNSSD_UPDATE_CONFIG names; its format is in README
// ("Beyond the local link"):
//
//   # comment
//   [zelm.test]               a zone, or [default] for every zone
//   server = 192.0.2.53       optional; "address" or "address port"
//   key-name = zelm-update.
//   algorithm = hmac-sha256   hmac-sha256 (also hmac-sha384, hmac-sha512)
//   secret = <base64>
//   host-name = printer-7     optional; a label in the zone, or a full name ending in "."
//
// The file holds secrets, so it is taken only when root owns it and nobody
// else may read or write it (mode 0600 or 0400).

#include "unicast/DnsClient.h"
#include "unicast/update/UpdateMessage.h"

#include <optional>
#include <string>
#include <vector>

namespace Zelm::DnsSd::Unicast::Update {

constexpr const char* kDefaultUpdateConfigPath = "/etc/zelm-mdns/dnssd-update.conf";
constexpr const char* kUpdateConfigVariable = "ZELM_DNSSD_UPDATE_CONFIG";

struct ZoneSettings {
    std::string domain;            // the section's name without its trailing dot; empty for [default]
    std::optional<Server> server;  // overrides the zone's primary
    std::optional<Key> key;        // none: updates go unsigned
    std::string hostName;          // empty: the machine's host name
};

class UpdateConfig {
public:
    enum class Status {
        Absent,  // no file: every update goes unsigned to the zone's primary
        Usable,
        Rejected,  // a file that is not root's alone, or that does not parse
    };

    // Reads the file at `path`; `why` says what made it Rejected.
    static Status load(const std::string& path, UpdateConfig& config, std::string* why = nullptr);

    // The environment's path, else the default one.
    static std::string path();

    // The section of the longest domain that `domain` is or ends in, else
    // [default]; null when neither exists.
    const ZoneSettings* forDomain(const std::string& domain) const;

    // Parses the text of a file; false (and `why`) on a line it cannot take.
    bool parse(const std::string& text, std::string* why);

private:
    std::vector<ZoneSettings> sections_;
};

}  // namespace Zelm::DnsSd::Unicast::Update

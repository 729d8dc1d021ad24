#pragma once

// The DNS UPDATE messages (RFC 2136) of one registration in a unicast zone,
// built and signed (TSIG, RFC 8945) with ldns, and the reading of the
// server's answer. No DNS wire form is written or parsed here by hand.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Zelm::DnsSd::Unicast::Update {

// A TSIG key: its name ("zelm-update."), algorithm ("hmac-sha256.") and
// secret in base64.
struct Key {
    std::string name;
    std::string algorithm;
    std::string secret;
};

// What one registration puts into the zone. Names are in presentation form
// with their trailing dot (escaped as escapeLabel does).
struct ServiceRecords {
    std::string zone;                   // "zelm.test."
    std::string instance;               // "Name\032A._http._tcp.zelm.test."
    std::string type;                   // "_http._tcp.zelm.test."
    std::vector<std::string> subtypes;  // "_printer._sub._http._tcp.zelm.test."
    std::string host;                   // "device.zelm.test."
    std::uint16_t port = 0;             // host byte order
    std::vector<std::string> txt;       // the TXT record's strings
    std::vector<std::array<std::uint8_t, 4>> ipv4;
    std::vector<std::array<std::uint8_t, 16>> ipv6;
    std::uint32_t ttl = 120;
};

enum class Change {
    // Adds every record, on the condition that the instance name is not in
    // use (RFC 2136 2.4.5): a name someone else holds is a conflict.
    Register,
    // Adds every record again and replaces the TXT record: a refresh, or a
    // TXT update, of a registration the server holds.
    Refresh,
    // Deletes exactly the records Register added; the host's address records
    // only with `withdrawHost`.
    Withdraw,
};

// A message ready to send, and what reading its answer needs.
struct Prepared {
    std::vector<std::uint8_t> wire;
    std::vector<std::uint8_t> requestMac;  // the TSIG MAC field's wire form, empty unsigned
};

enum class BuildFailure {
    kNone,
    kName,  // a name ldns does not take
    kKey,   // the key cannot sign (its secret is not base64, or the algorithm unknown)
};

// The update, with the update-lease EDNS0 option (RFC 9664) asking for
// `leaseSeconds` unless it is 0, signed with `key` unless it is null.
// Nothing when it cannot be made: `failure` says why; memory that runs out
// throws std::bad_alloc.
std::optional<Prepared> buildUpdate(Change change, const ServiceRecords& records, const Key* key,
                                    std::uint32_t leaseSeconds, bool withdrawHost,
                                    BuildFailure* failure = nullptr);

struct UpdateAnswer {
    enum class Verdict {
        Done,      // NOERROR
        InUse,     // YXDOMAIN / YXRRSET: the instance name is someone else's
        Refused,   // REFUSED, NOTAUTH, or a TSIG error: the key or the server says no
        Failed,    // any other RCODE (SERVFAIL, NOTZONE, FORMERR...)
        Unusable,  // not an answer to an update, or its signature does not verify: ignored
    };
    Verdict verdict = Verdict::Unusable;
    int rcode = -1;
    std::uint32_t leaseSeconds = 0;  // the lease the server granted; 0: none
};

// Reads the server's answer to `sent`. A signed request's answer must carry
// a TSIG that verifies with the same key, except for REFUSED and NOTAUTH,
// which a server sends unsigned when it does not know the key.
UpdateAnswer readUpdateAnswer(const std::vector<std::uint8_t>& answer, const Prepared& sent, const Key* key);

}  // namespace Zelm::DnsSd::Unicast::Update

#pragma once

// The unicast DNS client that wide-area browse, resolve, lookup and
// registration share: whole DNS messages out and in, driven by the backend's
// event loop, with no thread per query. An implementation checks every
// answer against its question (id, question section, source) and drops
// anything else; what reaches a callback is the answer to this request.
// Every member runs on the event thread or with the event loop's lock held,
// and every callback runs on the event thread with that lock held.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Zelm::DnsSd::Unicast {

// How one exchange ended.
enum class Outcome {
    kAnswered,   // `message` holds the whole answer, whatever its RCODE
    kTimedOut,   // no server answered within the client's time-out
    kNoServer,   // no server is configured, or none can be reached
    kNoMemory,   // the exchange could not be made for lack of memory
    kCancelled,  // cancel() or the client's end; the callback still runs once
    kNoAnswer,   // a relative name found under no search domain: no message (query() only)
};

struct Answer {
    Outcome outcome;
    std::vector<std::uint8_t> message;  // the DNS message, when kAnswered
};

// A server to send to directly, bypassing the resolver's list.
struct Server {
    std::string address;  // numeric IPv4 or IPv6
    std::uint16_t port = 53;
};

class DnsClient {
public:
    using Request = std::uint64_t;  // never 0
    using Callback = std::function<void(const Answer&)>;

    virtual ~DnsClient() = default;

    // Asks the resolver's servers (those of /etc/resolv.conf, re-read when
    // it changes) for the records of `name` (presentation form, with \DDD
    // and \X escapes) of `type` in class IN, with EDNS0 and
    // a retry over TCP when the answer is truncated. A name with a trailing
    // dot is asked as it is; one without goes through the search list.
    // `done` runs exactly once, possibly before query() returns (a failure
    // found at once: kNoMemory, kNoServer).
    virtual Request query(const std::string& name, std::uint16_t type, Callback done) = 0;

    // Sends a prepared message (a DNS UPDATE, say) to `server`, over UDP and
    // again over TCP when the answer is truncated. The client may give the
    // message a query id of its own (AresClient does: a fresh random one in
    // the header, the rest of the message sent as given). The answer comes
    // whatever its RCODE. `done` runs exactly once, possibly before send()
    // returns.
    virtual Request send(const Server& server, std::vector<std::uint8_t> message, Callback done) = 0;

    // Ends a request: its callback runs once with kCancelled, at once or
    // from the event loop, unless it already ran.
    virtual void cancel(Request request) = 0;
};

}  // namespace Zelm::DnsSd::Unicast

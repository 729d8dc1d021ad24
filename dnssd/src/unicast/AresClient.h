#pragma once

// The unicast DNS client over c-ares, served by the backend's event loop:
// c-ares tells which sockets to poll (its socket-state callback), the loop
// polls them with the D-Bus connections and hands readiness back
// (ares_process_fd), and one timer per c-ares channel follows ares_timeout.
// No thread, no blocking call.
//
// What c-ares does for every answer: EDNS0 (ARES_FLAG_EDNS, 1232-byte UDP
// payload), the retry over TCP when an answer comes truncated, a random
// query id per query (RC4 keyed from /dev/urandom), connected UDP sockets on
// kernel-chosen ephemeral ports, and it drops an answer unless its id and
// question section equal the query's and it came from the address and port
// the query went to. What this client adds: a fresh channel, and so fresh
// source ports, after every kQueriesPerChannel queries (c-ares 1.18 keeps one
// UDP socket per server for as long as it is open), the resolver file
// watched by its identity and modification time before each query (a change
// makes a new channel for the queries from then on), descriptors closed on
// exec, and a deadline per request. Every answer is handed over whatever its
// RCODE (ARES_FLAG_NOCHECKRESP): a server that refuses a domain it does not
// serve has answered, and is not taken for a silent one; the price is that
// a SERVFAIL is not retried at the next server. The answers' records are checked once
// more against the question where they are read (unicast/DnsAnswer.h).

#include "bus/EventLoop.h"
#include "unicast/DnsClient.h"

#include <sys/stat.h>

#include <map>
#include <memory>

namespace Zelm::DnsSd::Unicast {

class AresClient final : public DnsClient {
public:
    // Null when c-ares cannot be set up (memory). With the loop's lock held.
    static std::unique_ptr<AresClient> create(EventLoop& loop);

    // Every request still open ends with kCancelled. With the loop's lock
    // held, or after the event thread ended.
    ~AresClient() override;
    AresClient(const AresClient&) = delete;
    AresClient& operator=(const AresClient&) = delete;

    Request query(const std::string& name, std::uint16_t type, Callback done) override;
    Request send(const Server& server, std::vector<std::uint8_t> message, Callback done) override;
    void cancel(Request request) override;

private:
    class AresChannel;
    struct Exchange;
    struct Pending;

    explicit AresClient(EventLoop& loop);

    // The channel for queries: the current one, made again when the
    // resolver file changed or it has served its share of queries.
    AresChannel* resolverChannel();
    AresChannel* serverChannel(const Server& server);
    // Registers `done` under a new request; null exchange when memory ran out.
    Exchange* begin(AresChannel& channel, Callback& done, Request& request);
    // Sends through `start(channel, exchange)` what `done` waits for.
    template <typename Launch>
    Request launch(AresChannel* channel, Callback done, Launch start);
    static void onAnswer(void* arg, int status, int timeouts, unsigned char* message, int length);
    void finish(Request request, Answer answer);
    void answered(Exchange* exchange, int status, const unsigned char* message, int length);
    void retire(std::unique_ptr<AresChannel> channel);
    // Frees retired channels with no query left, when no c-ares call is on the stack.
    void reap();
    void reapSoon();
    friend class AresChannel;

    EventLoop& loop_;
    Request lastRequest_ = 0;
    std::map<Request, std::unique_ptr<Pending>> pending_;
    std::unique_ptr<AresChannel> resolver_;
    struct stat resolverFile_ {};
    bool resolverFileSeen_ = false;
    std::map<std::string, std::unique_ptr<AresChannel>> servers_;
    std::vector<std::unique_ptr<AresChannel>> retired_;
    int processing_ = 0;  // c-ares calls on the stack
    Timer reapTimer_;
};

}  // namespace Zelm::DnsSd::Unicast

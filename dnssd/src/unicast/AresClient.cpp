#include "unicast/AresClient.h"

#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <utility>

namespace Zelm::DnsSd::Unicast {

namespace {

// c-ares waits this long for the first try at each server, twice that for
// the second: a lost datagram costs one second, and with one server a
// silent one is given up after three.
constexpr int kTryTimeoutMs = 1000;
constexpr int kTries = 2;
// No request outlives this, whatever the number of servers.
constexpr int kRequestTimeoutMs = 4000;
// The UDP payload offered in EDNS0: the size that avoids IP fragmentation on
// any common path; larger answers come over TCP.
constexpr int kEdnsPayloadBytes = 1232;
// c-ares keeps a server's UDP socket, and so its source port, while the
// channel lives: a fresh channel after this many queries keeps the port
// from staying guessable for long.
constexpr int kQueriesPerChannel = 64;

constexpr const char* kResolverFile = "/etc/resolv.conf";

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

int closeOnExec(ares_socket_t fd, int, void*) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0 ? -1 : 0;
}

Outcome outcomeOf(int status) {
    switch (status) {
        case ARES_ETIMEOUT:
            return Outcome::kTimedOut;
        case ARES_ENOMEM:
            return Outcome::kNoMemory;
        case ARES_ECANCELLED:
        case ARES_EDESTRUCTION:
            return Outcome::kCancelled;
        case ARES_ENOTFOUND:
        case ARES_ENODATA:
        case ARES_ESERVFAIL:
        case ARES_EREFUSED:
        case ARES_ENOTIMP:
        case ARES_EFORMERR:
            return Outcome::kNoAnswer;
        default:
            return Outcome::kNoServer;  // refused connections, a bad server list
    }
}

// c-ares reads a backslash as "take the next byte as it is", without the
// decimal \DDD of presentation form: the name's bytes with only '.' and '\'
// inside a label escaped. False for a name with a NUL byte in a label.
bool toAresName(const std::string& name, std::string& aresName) {
    aresName.clear();
    for (std::size_t i = 0; i < name.size(); ++i) {
        char byte = name[i];
        if (byte == '\\' && i + 3 < name.size() && std::isdigit(static_cast<unsigned char>(name[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(name[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(name[i + 3]))) {
            const int value = std::stoi(name.substr(i + 1, 3));
            if (value == 0 || value > 255) {
                return false;
            }
            byte = static_cast<char>(value);
            i += 3;
        } else if (byte == '\\' && i + 1 < name.size()) {
            byte = name[++i];
        } else if (byte == '\\') {
            return false;
        } else {
            aresName += byte;  // a plain byte, or a dot between labels
            continue;
        }
        if (byte == '.' || byte == '\\') {
            aresName += '\\';
        }
        aresName += byte;
    }
    return true;
}

}  // namespace

// One c-ares channel: its sockets polled by the loop, its time-outs on a timer.
class AresClient::AresChannel final : public EventLoop::FdHandler {
public:
    explicit AresChannel(AresClient& client)
        : client_(client), timer_([this] { process(ARES_SOCKET_BAD, ARES_SOCKET_BAD); }) {}
    ~AresChannel() {
        if (channel_ != nullptr) {
            ares_destroy(channel_);
        }
        client_.loop_.cancel(timer_);
    }
    AresChannel(const AresChannel&) = delete;
    AresChannel& operator=(const AresChannel&) = delete;

    // `flags` add to ARES_FLAG_EDNS; false when c-ares cannot start (memory).
    bool init(int flags) {
        ares_options options{};
        options.flags = ARES_FLAG_EDNS | flags;
        options.timeout = kTryTimeoutMs;
        options.tries = kTries;
        options.ednspsz = kEdnsPayloadBytes;
        options.sock_state_cb = &AresChannel::socketState;
        options.sock_state_cb_data = this;
        const int mask =
            ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_EDNSPSZ | ARES_OPT_SOCK_STATE_CB;
        if (ares_init_options(&channel_, &options, mask) != ARES_SUCCESS) {
            channel_ = nullptr;
            return false;
        }
        ares_set_socket_callback(channel_, &closeOnExec, nullptr);
        return true;
    }

    ares_channel get() const { return channel_; }

    // After every call that may have changed c-ares's deadlines.
    void rearm() {
        timeval limit{};
        if (ares_timeout(channel_, nullptr, &limit) == nullptr) {
            client_.loop_.cancel(timer_);
            return;
        }
        const long ms = limit.tv_sec * 1000 + (limit.tv_usec + 999) / 1000;
        if (!client_.loop_.schedule(timer_, static_cast<int>(ms))) {
            // Out of memory: the request deadlines still end every request.
        }
    }

    void ready(int fd, short revents) override {
        const bool readable = (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        const bool writable = (revents & POLLOUT) != 0;
        process(readable ? fd : ARES_SOCKET_BAD, writable ? fd : ARES_SOCKET_BAD);
    }

    int outstanding = 0;  // queries c-ares has not called back for
    int served = 0;       // queries sent through it

private:
    void process(ares_socket_t readFd, ares_socket_t writeFd) {
        ++client_.processing_;
        ares_process_fd(channel_, readFd, writeFd);
        rearm();
        --client_.processing_;
        // Not from here: this channel may be one of those freed.
        client_.reapSoon();
    }

    static void socketState(void* data, ares_socket_t fd, int readable, int writable) {
        auto* self = static_cast<AresChannel*>(data);
        if (readable == 0 && writable == 0) {
            self->client_.loop_.unwatchFd(fd);
            return;
        }
        const short events = static_cast<short>((readable != 0 ? POLLIN : 0) | (writable != 0 ? POLLOUT : 0));
        if (!self->client_.loop_.watchFd(fd, events, *self)) {
            // Out of memory: the socket's answer is missed and the query
            // ends at its time-out, as for a lost datagram.
        }
    }

    AresClient& client_;
    ares_channel channel_ = nullptr;
    Timer timer_;
};

// What c-ares calls back with.
struct AresClient::Exchange {
    AresClient* client;
    Request request;
    AresChannel* channel;
};

struct AresClient::Pending {
    explicit Pending(std::function<void()> onDeadline) : deadline(std::move(onDeadline)) {}
    Callback done;
    Timer deadline;
};

AresClient::AresClient(EventLoop& loop) : loop_(loop), reapTimer_([this] { reap(); }) {}

std::unique_ptr<AresClient> AresClient::create(EventLoop& loop) {
    std::unique_ptr<AresClient> client(new (std::nothrow) AresClient(loop));
    if (!client || client->resolverChannel() == nullptr) {
        return nullptr;
    }
    return client;
}

AresClient::~AresClient() {
    loop_.cancel(reapTimer_);
    auto open = std::exchange(pending_, {});
    ++processing_;  // nothing is freed from within c-ares's callbacks
    resolver_.reset();
    servers_.clear();
    retired_.clear();
    for (auto& [request, pending] : open) {
        loop_.cancel(pending->deadline);
        pending->done(Answer{Outcome::kCancelled, {}});
    }
}

AresClient::AresChannel* AresClient::resolverChannel() {
    struct stat file {};
    const bool seen = ::stat(kResolverFile, &file) == 0;
    const bool changed = seen != resolverFileSeen_ || (seen && !sameFile(file, resolverFile_));
    if (resolver_ && !changed && resolver_->served < kQueriesPerChannel) {
        return resolver_.get();
    }
    auto fresh = std::unique_ptr<AresChannel>(new (std::nothrow) AresChannel(*this));
    // An answer counts whatever its RCODE: a server that refuses a domain
    // it does not serve has answered (nothing there), it is not silent.
    if (!fresh || !fresh->init(ARES_FLAG_NOCHECKRESP)) {
        return resolver_.get();  // the old servers are better than none
    }
    resolverFile_ = file;
    resolverFileSeen_ = seen;
    retire(std::exchange(resolver_, std::move(fresh)));
    return resolver_.get();
}

AresClient::AresChannel* AresClient::serverChannel(const Server& server) {
    const std::string key = server.address + '#' + std::to_string(server.port);
    const auto found = servers_.find(key);
    if (found != servers_.end()) {
        return found->second.get();
    }
    ares_addr_port_node node{};
    node.udp_port = node.tcp_port = server.port;
    if (::inet_pton(AF_INET, server.address.c_str(), &node.addr.addr4) == 1) {
        node.family = AF_INET;
    } else if (::inet_pton(AF_INET6, server.address.c_str(), &node.addr.addr6) == 1) {
        node.family = AF_INET6;
    } else {
        return nullptr;
    }
    auto channel = std::unique_ptr<AresChannel>(new (std::nothrow) AresChannel(*this));
    if (!channel || !channel->init(ARES_FLAG_NOCHECKRESP | ARES_FLAG_NOSEARCH) ||
        ares_set_servers_ports(channel->get(), &node) != ARES_SUCCESS) {
        return nullptr;
    }
    return servers_.emplace(key, std::move(channel)).first->second.get();
}

AresClient::Exchange* AresClient::begin(AresChannel& channel, Callback& done, Request& request) {
    request = ++lastRequest_;
    std::unique_ptr<Exchange> exchange(new (std::nothrow) Exchange{this, request, &channel});
    if (!exchange) {
        return nullptr;
    }
    try {
        const Request id = request;
        auto pending = std::make_unique<Pending>([this, id] { finish(id, Answer{Outcome::kTimedOut, {}}); });
        Pending& entry = *pending_.emplace(request, std::move(pending)).first->second;
        if (!loop_.schedule(entry.deadline, kRequestTimeoutMs)) {
            pending_.erase(request);
            return nullptr;
        }
        // Last, so that `done` stays the caller's on every failure above.
        entry.done = std::move(done);
    } catch (...) {
        pending_.erase(request);
        return nullptr;
    }
    ++channel.outstanding;
    ++channel.served;
    return exchange.release();
}

void AresClient::onAnswer(void* arg, int status, int, unsigned char* message, int length) {
    auto* exchange = static_cast<Exchange*>(arg);
    exchange->client->answered(exchange, status, message, length);
}

template <typename Launch>
DnsClient::Request AresClient::launch(AresChannel* channel, Callback done, Launch start) {
    Request request = 0;
    Exchange* exchange = channel != nullptr ? begin(*channel, done, request) : nullptr;
    if (exchange == nullptr) {
        done(Answer{channel != nullptr ? Outcome::kNoMemory : Outcome::kNoServer, {}});
        return request != 0 ? request : ++lastRequest_;
    }
    ++processing_;
    start(channel->get(), exchange);
    channel->rearm();
    --processing_;
    reap();
    return request;
}

DnsClient::Request AresClient::query(const std::string& name, std::uint16_t type, Callback done) {
    std::string aresName;
    if (!toAresName(name, aresName)) {
        done(Answer{Outcome::kNoAnswer, {}});  // no server can hold such a name
        return ++lastRequest_;
    }
    return launch(resolverChannel(), std::move(done), [&](ares_channel channel, Exchange* exchange) {
        ares_search(channel, aresName.c_str(), ns_c_in, type, &AresClient::onAnswer, exchange);
    });
}

DnsClient::Request AresClient::send(const Server& server, std::vector<std::uint8_t> message, Callback done) {
    return launch(serverChannel(server), std::move(done), [&](ares_channel channel, Exchange* exchange) {
        ares_send(channel, message.data(), static_cast<int>(message.size()), &AresClient::onAnswer, exchange);
    });
}

void AresClient::cancel(Request request) { finish(request, Answer{Outcome::kCancelled, {}}); }

void AresClient::finish(Request request, Answer answer) {
    const auto found = pending_.find(request);
    if (found == pending_.end()) {
        return;  // ended before: c-ares's late answer, or a second cancel
    }
    std::unique_ptr<Pending> pending = std::move(found->second);
    pending_.erase(found);
    loop_.cancel(pending->deadline);
    pending->done(answer);
}

void AresClient::answered(Exchange* exchange, int status, const unsigned char* message, int length) {
    const std::unique_ptr<Exchange> owned(exchange);
    --exchange->channel->outstanding;
    Answer answer{outcomeOf(status), {}};
    // ares_query reports an answer without records as ENOTFOUND or ENODATA
    // and still hands it over: it is an answer like any other.
    if (message != nullptr && length > 0 && status != ARES_ETIMEOUT && status != ARES_ECANCELLED &&
        status != ARES_EDESTRUCTION) {
        try {
            answer.message.assign(message, message + length);
            answer.outcome = Outcome::kAnswered;
        } catch (...) {
            answer.outcome = Outcome::kNoMemory;
        }
    }
    finish(exchange->request, std::move(answer));
}

void AresClient::retire(std::unique_ptr<AresChannel> channel) {
    if (!channel) {
        return;
    }
    try {
        retired_.push_back(std::move(channel));
    } catch (...) {
        // Out of memory: its queries end with kCancelled now (their
        // callbacks find nothing left to call), unless c-ares is on the stack.
        if (processing_ == 0) {
            channel.reset();
        } else {
            channel.release();  // leaked rather than freed under c-ares
        }
    }
}

void AresClient::reapSoon() {
    if (!retired_.empty()) {
        (void)loop_.schedule(reapTimer_, 0);  // out of memory: the next query's end reaps
    }
}

void AresClient::reap() {
    if (processing_ != 0) {
        return;
    }
    retired_.erase(
        std::remove_if(retired_.begin(), retired_.end(),
                       [](const std::unique_ptr<AresChannel>& channel) { return channel->outstanding == 0; }),
        retired_.end());
}

}  // namespace Zelm::DnsSd::Unicast

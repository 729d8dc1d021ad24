#include "ScriptedDnsSd.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

struct _DNSServiceRef_t {
    std::string kind;
    void* callback = nullptr;
    void* context = nullptr;
    int fd = -1;      // handed out by DNSServiceRefSockFD
    int feedFd = -1;  // one byte written here per queued reply
    std::deque<dnssd_double::Reply> pending;
    bool live = true;
    std::atomic<int> processing{0};
    std::thread::id processingThread;

    ~_DNSServiceRef_t() {
        if (fd >= 0) ::close(fd);
        if (feedFd >= 0) ::close(feedFd);
    }
};

namespace dnssd_double {
namespace {

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    std::map<std::string, std::deque<DNSServiceErrorType>> startFailures;
    std::map<std::string, std::deque<std::vector<Reply>>> startReplies;
    std::map<DNSServiceRef, std::shared_ptr<_DNSServiceRef_t>> live;
    // Dead references stay allocated until reset(), so that misuse is counted
    // instead of touching freed memory.
    std::vector<std::shared_ptr<_DNSServiceRef_t>> graveyard;
    size_t violations = 0;
    DNSServiceErrorType updateRecordResult = kDNSServiceErr_NoError;
    bool echoBrowses = false;
};

State& state() {
    static State s;
    return s;
}

std::optional<std::string> copy(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

const char* raw(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

void record(Call call) {
    State& s = state();
    call.at = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back(std::move(call));
    s.changed.notify_all();
}

// Queues a reply and wakes the reference's socket. Requires the state mutex.
void enqueueLocked(_DNSServiceRef_t& ref, Reply reply) {
    ref.pending.push_back(std::move(reply));
    const char byte = 1;
    (void)::send(ref.feedFd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Common part of the four start calls. Returns the error to report.
DNSServiceErrorType start(const std::string& function, DNSServiceRef* out, void* callback, void* context,
                          Call call) {
    State& s = state();
    call.function = function;
    call.context = context;
    DNSServiceErrorType failure = kDNSServiceErr_NoError;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto& failures = s.startFailures[function];
        if (!failures.empty()) {
            failure = failures.front();
            failures.pop_front();
        }
    }
    if (failure == kDNSServiceErr_NoError && (out == nullptr || callback == nullptr)) {
        failure = kDNSServiceErr_BadParam;
    }
    if (failure != kDNSServiceErr_NoError) {
        record(std::move(call));
        return failure;
    }

    auto ref = std::make_shared<_DNSServiceRef_t>();
    ref->kind = function;
    ref->callback = callback;
    ref->context = context;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        record(std::move(call));
        return kDNSServiceErr_NoMemory;
    }
    ref->fd = pair[0];
    ref->feedFd = pair[1];
    *out = ref.get();
    call.ref = ref.get();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.live[ref.get()] = ref;
        auto& scripted = s.startReplies[function];
        if (!scripted.empty()) {
            for (auto& reply : scripted.front()) {
                enqueueLocked(*ref, std::move(reply));
            }
            scripted.pop_front();
        }
        if (s.echoBrowses && function == "DNSServiceBrowse") {
            enqueueLocked(*ref, browseReply("echo", call.regtype.value_or(""), call.domain.value_or("")));
        }
    }
    record(std::move(call));
    return kDNSServiceErr_NoError;
}

std::shared_ptr<_DNSServiceRef_t> find(DNSServiceRef ref) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.live.find(ref);
    if (it == s.live.end()) {
        ++s.violations;
        return nullptr;
    }
    return it->second;
}

void deliver(_DNSServiceRef_t& ref, DNSServiceRef handle, const Reply& r) {
    if (ref.kind == "DNSServiceBrowse") {
        reinterpret_cast<DNSServiceBrowseReply>(ref.callback)(handle, r.flags, r.interfaceIndex, r.errorCode,
                                                              raw(r.name), raw(r.regtype), raw(r.domain),
                                                              ref.context);
    } else if (ref.kind == "DNSServiceResolve") {
        reinterpret_cast<DNSServiceResolveReply>(ref.callback)(
            handle, r.flags, r.interfaceIndex, r.errorCode, raw(r.name), raw(r.host), r.portNetworkOrder,
            static_cast<uint16_t>(r.txt.size()), r.txt.empty() ? nullptr : r.txt.data(), ref.context);
    } else if (ref.kind == "DNSServiceGetAddrInfo") {
        const sockaddr* address = r.address ? reinterpret_cast<const sockaddr*>(&*r.address) : nullptr;
        reinterpret_cast<DNSServiceGetAddrInfoReply>(ref.callback)(
            handle, r.flags, r.interfaceIndex, r.errorCode, raw(r.host), address, r.ttl, ref.context);
    } else {
        reinterpret_cast<DNSServiceRegisterReply>(ref.callback)(handle, r.flags, r.errorCode, raw(r.name),
                                                                raw(r.regtype), raw(r.domain), ref.context);
    }
}

}  // namespace

Reply browseReply(const std::string& name, const std::string& regtype, const std::string& domain,
                  DNSServiceFlags flags, uint32_t interfaceIndex) {
    Reply r;
    r.name = name;
    r.regtype = regtype;
    r.domain = domain;
    r.flags = flags;
    r.interfaceIndex = interfaceIndex;
    return r;
}

Reply resolveReply(const std::string& fullname, const std::string& host, uint16_t portHostOrder,
                   std::vector<unsigned char> txt, DNSServiceFlags flags) {
    Reply r;
    r.name = fullname;
    r.host = host;
    r.portNetworkOrder = htons(portHostOrder);
    r.txt = std::move(txt);
    r.flags = flags;
    r.interfaceIndex = 1;
    return r;
}

Reply addressReply(const sockaddr_storage& address, DNSServiceFlags flags) {
    Reply r;
    r.address = address;
    r.host = "host.local.";
    r.flags = flags;
    r.interfaceIndex = 1;
    return r;
}

Reply registerReply(const std::string& name, const std::string& regtype, const std::string& domain,
                    DNSServiceErrorType errorCode) {
    Reply r;
    r.name = name;
    r.regtype = regtype;
    r.domain = domain;
    r.errorCode = errorCode;
    return r;
}

Reply errorReply(DNSServiceErrorType errorCode, DNSServiceFlags flags) {
    Reply r;
    r.errorCode = errorCode;
    r.flags = flags;
    return r;
}

Reply processFailure(DNSServiceErrorType code) {
    Reply r;
    r.processResultError = code;
    return r;
}

sockaddr_storage ipv4(const char* text, uint16_t port) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    ::inet_pton(AF_INET, text, &in->sin_addr);
    return storage;
}

sockaddr_storage ipv6(const char* text, uint32_t scopeId) {
    sockaddr_storage storage{};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_scope_id = scopeId;
    ::inet_pton(AF_INET6, text, &in6->sin6_addr);
    return storage;
}

void Script::reset() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.clear();
    s.startFailures.clear();
    s.startReplies.clear();
    s.graveyard.clear();
    s.violations = 0;
    s.updateRecordResult = kDNSServiceErr_NoError;
    s.echoBrowses = false;
}

void Script::echoBrowses() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.echoBrowses = true;
}

void Script::failNextStart(const std::string& function, DNSServiceErrorType code) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.startFailures[function].push_back(code);
}

void Script::onStart(const std::string& function, std::vector<Reply> replies) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.startReplies[function].push_back(std::move(replies));
}

bool Script::queueReply(DNSServiceRef ref, Reply reply) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.live.find(ref);
    if (it == s.live.end()) {
        return false;
    }
    enqueueLocked(*it->second, std::move(reply));
    return true;
}

void Script::setUpdateRecordResult(DNSServiceErrorType code) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.updateRecordResult = code;
}

std::vector<Call> Script::calls() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.calls;
}

std::vector<Call> Script::calls(const std::string& function) {
    std::vector<Call> result;
    for (auto& call : calls()) {
        if (call.function == function) result.push_back(call);
    }
    return result;
}

bool Script::waitForCalls(const std::string& function, size_t count, std::chrono::milliseconds timeout) {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, timeout, [&] {
        size_t n = 0;
        for (const auto& call : s.calls) n += call.function == function ? 1 : 0;
        return n >= count;
    });
}

size_t Script::liveReferences() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.live.size();
}

size_t Script::violations() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.violations;
}

}  // namespace dnssd_double

using namespace dnssd_double;

extern "C" {

dnssd_sock_t DNSServiceRefSockFD(DNSServiceRef sdRef) {
    auto ref = find(sdRef);
    return ref ? ref->fd : -1;
}

DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef) {
    auto ref = find(sdRef);
    if (!ref) {
        return kDNSServiceErr_BadReference;
    }
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ref->processingThread = std::this_thread::get_id();
    }
    ref->processing++;
    struct Done {
        _DNSServiceRef_t& ref;
        ~Done() { ref.processing--; }
    } done{*ref};

    // Block until a reply is queued or the socket is shut down.
    pollfd pfd{ref->fd, POLLIN | POLLRDHUP, 0};
    while (::poll(&pfd, 1, -1) < 0) {
    }
    if (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
        return kDNSServiceErr_ServiceNotRunning;
    }
    char byte;
    if (::recv(ref->fd, &byte, 1, 0) != 1) {
        return kDNSServiceErr_ServiceNotRunning;
    }
    Reply reply;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (ref->pending.empty()) {
            return kDNSServiceErr_Unknown;
        }
        reply = std::move(ref->pending.front());
        ref->pending.pop_front();
    }
    if (reply.beforeDelivery) {
        reply.beforeDelivery();
    }
    if (reply.processResultError != kDNSServiceErr_NoError) {
        return reply.processResultError;
    }
    deliver(*ref, sdRef, reply);
    return kDNSServiceErr_NoError;
}

void DNSServiceRefDeallocate(DNSServiceRef sdRef) {
    State& s = state();
    Call call;
    call.function = "DNSServiceRefDeallocate";
    call.ref = sdRef;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.live.find(sdRef);
        if (it == s.live.end()) {
            ++s.violations;
        } else {
            auto& ref = *it->second;
            if (ref.processing > 0 && ref.processingThread != std::this_thread::get_id()) {
                ++s.violations;  // the published API forbids this
            }
            ref.live = false;
            s.graveyard.push_back(it->second);
            s.live.erase(it);
        }
    }
    record(std::move(call));
}

DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                     const char* regtype, const char* domain, DNSServiceBrowseReply callBack,
                                     void* context) {
    Call call;
    call.flags = flags;
    call.interfaceIndex = interfaceIndex;
    call.regtype = copy(regtype);
    call.domain = copy(domain);
    return start("DNSServiceBrowse", sdRef, reinterpret_cast<void*>(callBack), context, std::move(call));
}

DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      const char* name, const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context) {
    Call call;
    call.flags = flags;
    call.interfaceIndex = interfaceIndex;
    call.name = copy(name);
    call.regtype = copy(regtype);
    call.domain = copy(domain);
    return start("DNSServiceResolve", sdRef, reinterpret_cast<void*>(callBack), context, std::move(call));
}

DNSServiceErrorType DNSServiceGetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                          uint32_t interfaceIndex, DNSServiceProtocol protocol,
                                          const char* hostname, DNSServiceGetAddrInfoReply callBack,
                                          void* context) {
    Call call;
    call.flags = flags;
    call.interfaceIndex = interfaceIndex;
    call.protocol = protocol;
    call.host = copy(hostname);
    return start("DNSServiceGetAddrInfo", sdRef, reinterpret_cast<void*>(callBack), context, std::move(call));
}

DNSServiceErrorType DNSServiceRegister(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       const char* name, const char* regtype, const char* domain,
                                       const char* host, uint16_t port, uint16_t txtLen,
                                       const void* txtRecord, DNSServiceRegisterReply callBack,
                                       void* context) {
    Call call;
    call.flags = flags;
    call.interfaceIndex = interfaceIndex;
    call.name = copy(name);
    call.regtype = copy(regtype);
    call.domain = copy(domain);
    call.host = copy(host);
    call.portNetworkOrder = port;
    if (txtRecord != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(txtRecord);
        call.data.assign(bytes, bytes + txtLen);
    }
    return start("DNSServiceRegister", sdRef, reinterpret_cast<void*>(callBack), context, std::move(call));
}

DNSServiceErrorType DNSServiceUpdateRecord(DNSServiceRef sdRef, DNSRecordRef recordRef, DNSServiceFlags flags,
                                           uint16_t rdlen, const void* rdata, uint32_t ttl) {
    Call call;
    call.function = "DNSServiceUpdateRecord";
    call.ref = sdRef;
    call.flags = flags;
    call.recordRefNull = recordRef == nullptr;
    call.ttl = ttl;
    if (rdata != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(rdata);
        call.data.assign(bytes, bytes + rdlen);
    }
    const bool isLive = find(sdRef) != nullptr;
    record(std::move(call));
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return isLive ? s.updateRecordResult : kDNSServiceErr_BadReference;
}

}  // extern "C"

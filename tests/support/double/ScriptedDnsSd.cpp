#include "ScriptedDnsSd.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "TestSupport.h"

struct _DNSServiceRef_t {
    void* callback = nullptr;
    void* context = nullptr;
    int fd[2] = {-1, -1};  // [0] handed out; [1] gets one byte per queued reply
    std::deque<Zelm::Test::Reply> pending;
    int passes = 0;  // DNSServiceProcessResult calls in progress
    std::thread::id passThread;
    ~_DNSServiceRef_t() {
        for (const int end : fd) ::close(end);
    }
};

namespace Zelm::Test {
namespace {

using RefPtr = std::shared_ptr<_DNSServiceRef_t>;

struct State {
    std::mutex mutex;
    std::vector<Call> calls;
    std::map<std::string, std::deque<DNSServiceErrorType>> failures;
    std::map<std::string, std::deque<std::vector<Reply>>> scripts;
    std::map<DNSServiceRef, RefPtr> live;
    std::vector<RefPtr> dead;  // kept until reset(), so misuse never touches freed memory
    size_t violations = 0;
} state;

std::string piece(const char* text) { return text ? text : "(null)"; }
std::string piece(uint64_t number) { return std::to_string(number); }

// `format` with each '%' replaced by the next argument, a null text by "(null)".
template <typename... Args>
std::string fill(std::string format, Args... args) {
    size_t at = 0;
    for (const std::string& arg : {piece(args)...}) {
        format.replace(at = format.find('%', at), 1, arg);
        at += arg.size();
    }
    return format;
}

// Requires state.mutex; counts a violation when `ref` is not live.
RefPtr findLocked(DNSServiceRef ref) {
    const auto it = state.live.find(ref);
    if (it != state.live.end()) return it->second;
    ++state.violations;
    return nullptr;
}

// Requires state.mutex: the failure scripted next for `function`, else `otherwise`.
DNSServiceErrorType popFailure(const std::string& function, DNSServiceErrorType otherwise) {
    auto& failures = state.failures[function];
    if (failures.empty()) return otherwise;
    const DNSServiceErrorType code = failures.front();
    failures.pop_front();
    return code;
}

// Starts `function`; its arguments are recorded as `fill(format, args...)`.
template <typename Callback, typename... Args>
DNSServiceErrorType start(const char* function, DNSServiceRef* out, Callback callback, void* context,
                          std::string data, const char* format, Args... args) {
    std::lock_guard<std::mutex> lock(state.mutex);
    DNSServiceErrorType error =
        popFailure(function, out && callback ? kDNSServiceErr_NoError : kDNSServiceErr_BadParam);
    DNSServiceRef made = nullptr;
    if (error == kDNSServiceErr_NoError) {
        auto ref = std::make_shared<_DNSServiceRef_t>();
        ref->callback = reinterpret_cast<void*>(callback);
        ref->context = context;
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ref->fd);
        auto& script = state.scripts[function];
        for (auto& reply : script.empty() ? std::vector<Reply>() : script.front())
            if (reply)
                ref->pending.push_back(std::move(reply)), (void)::send(ref->fd[1], "", 1, MSG_NOSIGNAL);
        if (!script.empty()) script.pop_front();
        *out = made = ref.get();
        state.live[made] = ref;
    }
    state.calls.push_back({function, fill(format, args...), std::move(data), made});
    return error;
}

// `kept` lives as long as the reply, for arguments that point into it.
template <typename Function, typename... Args>
Reply replyOf(std::shared_ptr<const void> kept, Args... args) {
    return [kept, args...](DNSServiceRef ref, void* callback, void* context) {
        reinterpret_cast<Function>(callback)(ref, args..., context);
        return kDNSServiceErr_NoError;
    };
}

const char* ifNamed(const char* name, const char* text) { return name ? text : nullptr; }

std::string leftovers() {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.live.empty() && state.violations == 0) return "";
    return fill("% live references, % misuses", state.live.size(), state.violations);
}

const bool kLeakCheck = addLeakCheck({&Double::reset, &leftovers});

}  // namespace

Reply browseReply(const char* name, DNSServiceFlags flags, uint32_t interfaceIndex,
                  DNSServiceErrorType error) {
    return replyOf<DNSServiceBrowseReply>(nullptr, flags, interfaceIndex, error, name,
                                          ifNamed(name, "_ipp._tcp."), ifNamed(name, "local."));
}

Reply resolveReply(const char* fullname, const char* host, uint16_t port, std::string txt,
                   DNSServiceFlags flags, DNSServiceErrorType error) {
    const auto kept = std::make_shared<const std::string>(std::move(txt));
    return replyOf<DNSServiceResolveReply>(kept, flags, 1u, error, fullname, host, htons(port),
                                           static_cast<uint16_t>(kept->size()),
                                           reinterpret_cast<const unsigned char*>(kept->data()));
}

Reply addressReply(std::optional<sockaddr_storage> address, DNSServiceFlags flags,
                   DNSServiceErrorType error) {
    const auto kept = address ? std::make_shared<const sockaddr_storage>(*address) : nullptr;
    return replyOf<DNSServiceGetAddrInfoReply>(kept, flags, 1u, error, "host.local.",
                                               reinterpret_cast<const sockaddr*>(kept.get()), 120u);
}

Reply registerReply(const char* name, DNSServiceErrorType error) {
    return replyOf<DNSServiceRegisterReply>(nullptr, DNSServiceFlags{0}, error, name,
                                            ifNamed(name, "_http._tcp."), ifNamed(name, "local."));
}

Reply processFailure(DNSServiceErrorType code) {
    return [code](DNSServiceRef, void*, void*) { return code; };
}

Reply after(std::function<void()> before, Reply reply) {
    return [=](DNSServiceRef ref, void* callback, void* context) {
        before();
        return reply(ref, callback, context);
    };
}

sockaddr_storage ip(const char* text, uint32_t scopeId) {
    sockaddr_storage storage{};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr) == 1)
        storage.ss_family = AF_INET;
    else if (::inet_pton(AF_INET6, text, &in6->sin6_addr) == 1)
        in6->sin6_family = AF_INET6, in6->sin6_scope_id = scopeId;
    return storage;
}

namespace Double {

void reset() {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.clear();
    state.failures.clear();
    state.scripts.clear();
    state.dead.clear();
    for (auto& entry : state.live) state.dead.push_back(entry.second);  // a leak fails one test, not the next
    state.live.clear();
    state.violations = 0;
}

void failNextStart(const std::string& function, DNSServiceErrorType code) {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.failures[function].push_back(code);
}

void onStart(const std::string& function, std::vector<Reply> replies) {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.scripts[function].push_back(std::move(replies));
}

std::vector<Call> calls(const std::string& function) {
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<Call> result;
    std::copy_if(state.calls.begin(), state.calls.end(), std::back_inserter(result),
                 [&](const Call& call) { return function.empty() || call.function == function; });
    return result;
}

bool waitForCalls(const std::string& function, size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (calls(function).size() < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return calls(function).size() >= count;
}

}  // namespace Double
}  // namespace Zelm::Test

using namespace Zelm::Test;

extern "C" {

dnssd_sock_t DNSServiceRefSockFD(DNSServiceRef sdRef) {
    std::lock_guard<std::mutex> lock(state.mutex);
    const RefPtr ref = findLocked(sdRef);
    return ref ? ref->fd[0] : -1;
}

DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef) {
    RefPtr ref;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!(ref = findLocked(sdRef))) return kDNSServiceErr_BadReference;
        ++ref->passes;
        ref->passThread = std::this_thread::get_id();
    }
    pollfd watched{ref->fd[0], POLLIN | POLLRDHUP, 0};
    while (::poll(&watched, 1, -1) < 0) {
    }
    char byte;
    Reply reply;
    if (!(watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) && ::recv(ref->fd[0], &byte, 1, 0) == 1) {
        std::lock_guard<std::mutex> lock(state.mutex);
        reply = std::move(ref->pending.front());  // one byte was sent per reply
        ref->pending.pop_front();
    }
    // The pass ends however the delivery ends, a reply function that throws included.
    const std::shared_ptr<void> passEnd(nullptr, [&ref](void*) {
        std::lock_guard<std::mutex> lock(state.mutex);
        --ref->passes;
    });
    // Delivered without the double's lock: the reply function may call back.
    return reply ? reply(sdRef, ref->callback, ref->context) : kDNSServiceErr_ServiceNotRunning;
}

void DNSServiceRefDeallocate(DNSServiceRef sdRef) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (const RefPtr ref = findLocked(sdRef)) {
        // The published API forbids this; the real library would crash.
        if (ref->passes > 0 && ref->passThread != std::this_thread::get_id()) ++state.violations;
        state.dead.push_back(ref);
        state.live.erase(sdRef);
    }
    state.calls.push_back({"DNSServiceRefDeallocate", "", "", sdRef});
}

DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                     const char* regtype, const char* domain, DNSServiceBrowseReply callBack,
                                     void* context) {
    return start("DNSServiceBrowse", sdRef, callBack, context, "", "flags=% if=% type=% domain=%", flags,
                 interfaceIndex, regtype, domain);
}

DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      const char* name, const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context) {
    return start("DNSServiceResolve", sdRef, callBack, context, "", "flags=% if=% name=% type=% domain=%",
                 flags, interfaceIndex, name, regtype, domain);
}

DNSServiceErrorType DNSServiceGetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                          uint32_t interfaceIndex, DNSServiceProtocol protocol,
                                          const char* hostname, DNSServiceGetAddrInfoReply callBack,
                                          void* context) {
    return start("DNSServiceGetAddrInfo", sdRef, callBack, context, "", "flags=% if=% protocol=% host=%",
                 flags, interfaceIndex, protocol, hostname);
}

DNSServiceErrorType DNSServiceRegister(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       const char* name, const char* regtype, const char* domain,
                                       const char* host, uint16_t port, uint16_t txtLen,
                                       const void* txtRecord, DNSServiceRegisterReply callBack,
                                       void* context) {
    return start("DNSServiceRegister", sdRef, callBack, context,
                 txtRecord ? std::string(static_cast<const char*>(txtRecord), txtLen) : "",
                 "flags=% if=% name=% type=% domain=% host=% port=%", flags, interfaceIndex, name, regtype,
                 domain, host, ntohs(port));
}

DNSServiceErrorType DNSServiceUpdateRecord(DNSServiceRef sdRef, DNSRecordRef recordRef, DNSServiceFlags flags,
                                           uint16_t rdlen, const void* rdata, uint32_t ttl) {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.push_back({"DNSServiceUpdateRecord",
                           fill("flags=% record=% ttl=%", flags, recordRef ? "set" : "null", ttl),
                           std::string(static_cast<const char*>(rdata), rdlen), sdRef});
    const DNSServiceErrorType code = popFailure("DNSServiceUpdateRecord", kDNSServiceErr_NoError);
    return findLocked(sdRef) ? code : kDNSServiceErr_BadReference;
}

}  // extern "C"

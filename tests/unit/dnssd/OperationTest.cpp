// The operations below the transport: fed typed daemon events through a fake
// channel, forged and malformed ones among them, with no daemon.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <map>
#include <memory>

#include "operations/BrowseOperation.h"
#include "operations/RegisterOperation.h"
#include "operations/ResolveOperation.h"

namespace Zelm::DnsSd {
namespace {

using namespace Daemon;

struct FakeChannel final : Channel {
    std::map<CallId, std::pair<Request, Handler>> calls;
    std::map<std::string, SignalTarget*> routes;
    std::vector<Timer*> timers;
    const std::string host = "zelm-a", domain = "local";
    CallId next = 1;
    bool spare = true;

    CallId call(const Request& request, Handler handler, int) override {
        calls.emplace(next, std::make_pair(request, std::move(handler)));
        return next++;
    }
    void cancel(CallId id) override { calls.erase(id); }
    bool roomToSpare() const override { return spare; }
    bool send(const Request&) override { return true; }
    bool route(const std::string& p, SignalTarget& to) override { return routes.emplace(p, &to).second; }
    void unroute(const std::string& path) override { routes.erase(path); }
    const std::string& hostName() const override { return host; }
    const std::string& domainName() const override { return domain; }
    bool schedule(Timer& timer, int) override { return timers.push_back(&timer), true; }
    void cancel(Timer& t) override {
        timers.erase(std::remove(timers.begin(), timers.end(), &t), timers.end());
    }

    // Answers the oldest call of `member`; its arguments come back.
    Values answer(const std::string& member, Values values = {}) {
        const auto found = std::find_if(calls.begin(), calls.end(),
                                        [&](const auto& call) { return member == call.second.first.member; });
        EXPECT_NE(found, calls.end()) << member;
        if (found == calls.end()) return {};
        auto [request, handler] = std::move(found->second);
        calls.erase(found);
        handler(Reply{0, std::move(values)});
        return request.arguments;
    }
    void signal(const std::string& path, Incoming incoming) { routes.at(path)->onSignal(incoming); }
};

// Replies as the reference would deliver them, each read at once.
struct Replies final : ReplySink {
    int count = 0;
    void post(Delivery delivery, bool) override {
        ++count;
        delivery(nullptr, 0);
    }
    void lose() override { ADD_FAILURE() << "a reply was lost"; }
};

struct Seen {
    DNSServiceErrorType error = 1;
    std::string name, host, txt;
    uint16_t port = 0;
};

Incoming daemon(const char* interface, const char* member, Values values) {
    return Incoming{Peer::Daemon, interface, member, std::move(values)};
}

// A service browser's item: interface 2, `name` of "_http._tcp" in "local".
Values item(Value name, Protocol protocol = kIPv4) {
    return {2, protocol, std::move(name), std::string("_http._tcp"), std::string("local"), 0u};
}

// Starts a browser or resolver object at `path`.
void started(FakeChannel& channel, Replies& replies, Operation& operation, const char* prepare,
             const char* path) {
    auto answer = std::make_shared<DNSServiceErrorType>(1);
    operation.start(DaemonContext{&channel, &replies},
                    Settle([answer](DNSServiceErrorType code) { *answer = code; }));
    channel.answer(prepare, {ObjectPath{path}});
    channel.answer("Start");
    EXPECT_EQ(*answer, 0);
}

// Whatever does not have the declared shape, or is not from the daemon,
// reaches no caller. Then the resolver's answer comes in DNS-SD form (port in
// network order, TXT strings in their order), an unchanged repeat once; and
// an instance seen over IPv4 and IPv6 is one add, gone only once neither has it.
TEST(Operations, OnlyEventsOfTheDeclaredShapeFromTheDaemonReachTheCaller) {
    Incoming fromBus = daemon(kServiceBrowser, "ItemNew", item(std::string("EVIL")));
    fromBus.from = Peer::Bus;
    const Incoming bad[] = {
        fromBus,
        daemon(kServiceBrowser, "ItemNew", {}),
        daemon(kServiceBrowser, "ItemNew", item(Bytes{"EVIL"})),
        daemon(kServiceResolver, "Found", item(std::string("EVIL"))),
        daemon(kEntryGroup, "StateChanged", {std::string("2"), std::string()}),
        daemon(kEntryGroup, "StateChanged", {2}),
    };
    FakeChannel channel;
    Replies replies;
    Seen seen;
    auto record = [](DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char* name,
                     const char* host, uint16_t port, uint16_t size, const unsigned char* txt,
                     void* context) {
        *static_cast<Seen*>(context) = {error, name, host,
                                        std::string(reinterpret_cast<const char*>(txt), size), ntohs(port)};
    };
    std::vector<std::pair<DNSServiceFlags, std::string>> browsed;
    auto add = [](DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType, const char* name,
                  const char* type, const char* domain, void* context) {
        static_cast<decltype(browsed)*>(context)->emplace_back(flags,
                                                               std::string(name) + "|" + type + "|" + domain);
    };
    BrowseOperation browse(BrowseOperation::Kind::Instances, -1, "_http._tcp", "", add, &browsed);
    ResolveOperation resolve(-1, "A b", "_http._tcp", "", record, &seen);
    started(channel, replies, browse, "ServiceBrowserPrepare", "/B");
    started(channel, replies, resolve, "ServiceResolverPrepare", "/R");
    for (const Incoming& incoming : bad) {
        channel.signal("/B", incoming);
        channel.signal("/R", incoming);
    }
    EXPECT_EQ(replies.count, 0);

    const Incoming found = daemon(
        kServiceResolver, "Found",
        {2, 0, std::string("A b"), std::string("_http._tcp"), std::string("local"), std::string("h.local"), 0,
         std::string("198.18.0.2"), uint16_t{8080}, ByteStrings{{"b=2", "a=1"}}, 0u});
    channel.answer("ResolveService", found.values);  // the one-call resolution comes first
    EXPECT_EQ(replies.count, 1);
    channel.signal("/R", found);
    EXPECT_EQ(replies.count, 1);
    EXPECT_EQ(seen.name + " " + seen.host + " " + std::to_string(seen.port) + " " + seen.txt,
              "A\\032b._http._tcp.local. h.local. 8080 \3a=1\3b=2");
    channel.spare = false;  // such a call may stay for seconds: only with room to spare
    ResolveOperation crowded(-1, "A b", "_http._tcp", "", record, &seen);
    started(channel, replies, crowded, "ServiceResolverPrepare", "/C");
    EXPECT_EQ(channel.calls.size(), 0u);

    const std::string name = "A.b";
    for (const auto& [member, protocol] : {std::pair{"ItemNew", kIPv4},
                                           {"ItemNew", kIPv6},
                                           {"ItemRemove", kIPv4},
                                           {"ItemNew", kIPv4},
                                           {"ItemRemove", kIPv6},
                                           {"ItemRemove", kIPv4}})
        channel.signal("/B", daemon(kServiceBrowser, member, item(name, protocol)));
    const decltype(browsed) want{{kDNSServiceFlagsAdd, "A.b|_http._tcp.|local."},
                                 {0, "A.b|_http._tcp.|local."}};
    EXPECT_EQ(browsed, want);
}

// A registration as its group's states and the daemon's come. Script: N the
// group made, P the service added and committed; the group's states R
// registering, E established, C collision, F failure; h and r the daemon
// settling a new host name and running again; L and B the daemon gone and
// back; T no news before the confirmation's time. No group is left half made.
TEST(Operations, RegistrationFollowsItsGroupAndTheDaemon) {
    const struct {
        const char* script;
        bool autoRename;
        std::vector<std::string> replies;
    } rows[] = {
        {"NPRE", true, {"0 Zelm"}},      {"NPECPE", true, {"0 Zelm", "0 Zelm #2"}},
        {"NPC", false, {"-65548 Zelm"}}, {"NPECLB", false, {"0 Zelm", "-65548 Zelm"}},
        {"NPRF", true, {"-65568 Zelm"}}, {"NPELBNPE", true, {"0 Zelm", "0 Zelm"}},
        {"NPL", true, {"-65563 Zelm"}},  {"NPEhrPE", true, {"0 Zelm", "0 Zelm"}},
        {"NPRT", true, {"-65563 Zelm"}}, {"NPhrPE", true, {"0 Zelm"}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> replies;
        RegisterOperation registration(
            {kAnyInterface, row.autoRename, "Zelm", "_http._tcp", {}, "", "", 80, {}},
            [](DNSServiceRef, DNSServiceFlags, DNSServiceErrorType code, const char* name, const char*,
               const char*, void* seen) {
                static_cast<std::vector<std::string>*>(seen)->push_back(std::to_string(code) + " " + name);
            },
            &replies);
        FakeChannel channel;
        Replies sink;
        registration.start({&channel, &sink}, Settle([](DNSServiceErrorType code) { EXPECT_EQ(code, 0); }));
        std::string path = "/G";
        for (const char step : std::string(row.script)) {
            if (const size_t state = std::string("_RECF").find(step); state != std::string::npos) {
                const Values changed{int(state), std::string("org.freedesktop.Avahi.TimeoutError")};
                channel.signal(path, daemon(kEntryGroup, "StateChanged", changed));
            } else if (step == 'N') {
                channel.answer("EntryGroupNew", {ObjectPath{path += "1"}});
            } else if (step == 'P') {
                channel.answer("AddService"), channel.answer("Commit");
            } else if (step == 'h' || step == 'r') {
                registration.serverStateChanged(step == 'h' ? ServerState::Collision : ServerState::Running);
            } else if (step == 'L') {
                registration.daemonLost();
            } else if (step == 'B') {
                registration.resume({&channel, &sink});
            } else {
                channel.timers.back()->fire();  // 'T'
            }
        }
        EXPECT_EQ(replies, row.replies) << row.script;
        for (const auto& [id, call] : channel.calls) EXPECT_STRNE(call.first.member, "EntryGroupNew");
        registration.stop();
    }
}

}  // namespace
}  // namespace Zelm::DnsSd

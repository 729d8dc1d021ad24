// The unicast operations through a fake DNS client and a hand-fired clock:
// answers are DNS messages built with ldns, so the refresh by TTL, the
// removal of what vanished, records for other names and the one error reply
// are checked where a server cannot be made to misbehave on cue.

#include <arpa/inet.h>

#include <algorithm>

#include "UnicastFakes.h"
#include "names/DomainRouting.h"
#include "operations/UnicastBrowseOperation.h"
#include "operations/UnicastResolveOperation.h"

namespace Zelm::DnsSd {
namespace {

using Unicast::Answer;
using Unicast::Outcome;

using Events = std::vector<std::string>;  // "+name", "-name" or the error code

void browsed(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error, const char* name,
             const char* type, const char* domain, void* context) {
    static_cast<Events*>(context)->push_back(
        error != 0 ? std::to_string(error) : ((flags & kDNSServiceFlagsAdd) ? "+" : "-") + std::string(name));
    EXPECT_EQ(std::string(type) + domain, error != 0 ? "" : "_ipp._tcp.zelm.test.");  // in the asked case
}

const std::string kPtr = "_ipp._tcp.zelm.test. ";

// Each step answers the browse's open question, or fires its timer, and
// lists the replies it must give and the delay the next refresh is armed with.
TEST(UnicastOperations, BrowseFollowsTheZoneByTtlAndIgnoresRecordsOfOtherNames) {
    struct Step {
        const char* what;
        std::vector<std::string> records;  // empty with `failure`: no server answered
        Outcome failure;
        Events replies;
        int nextMs;
    };
    const Step steps[] = {
        {"no server: one error reply, then retries that back off", {}, Outcome::kTimedOut, {"-65568"}, 1000},
        {"again silent: no second error reply", {}, Outcome::kNoServer, {}, 2000},
        {"two instances; the shortest TTL sets the refresh; other names' and other types' targets ignored",
         {kPtr + "30 IN PTR A\\.1._ipp._tcp.zelm.test.", kPtr + "5 IN PTR b._IPP._tcp.zelm.TEST.",
          "_http._tcp.zelm.test. 1 IN PTR c._ipp._tcp.zelm.test.", kPtr + "1 IN PTR d._http._tcp.zelm.test.",
          kPtr + "1 IN PTR _ipp._tcp.zelm.test."},
         Outcome::kAnswered,
         {"+A.1", "+b"},
         5000},
        {"the same again, in another case: nothing new",
         {kPtr + "30 IN PTR a\\.1._ipp._tcp.zelm.test.", kPtr + "30 IN PTR B._ipp._tcp.zelm.test."},
         Outcome::kAnswered,
         {},
         30000},
        {"silent, TTLs not over: kept", {}, Outcome::kTimedOut, {}, 1000},
        {"one vanished", {kPtr + "0 IN PTR b._ipp._tcp.zelm.test."}, Outcome::kAnswered, {"-A.1"}, 1000},
        {"NXDOMAIN: all gone, asked again in a minute", {}, Outcome::kAnswered, {"-b"}, 60000},
    };
    FakeDns dns;
    FakeTimers timers;
    Sink sink;
    Events events;
    UnicastBrowseOperation browse(UnicastBrowseOperation::Kind::Instances, "_ipp._tcp", "_ipp._tcp",
                                  "zelm.test", &browsed, &events);
    browse.begin(UnicastContext{&dns, &timers, &sink});
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_EQ(dns.open.size(), 1u);
        EXPECT_EQ(dns.open.begin()->second.name, "_ipp._tcp.zelm.test.");
        events.clear();
        if (step.failure != Outcome::kAnswered) {
            dns.answer(dns.open.begin()->first, Answer{step.failure, {}});
        } else {
            dns.reply(step.records, step.records.empty() ? LDNS_RCODE_NXDOMAIN : LDNS_RCODE_NOERROR);
        }
        std::sort(events.begin(), events.end());
        EXPECT_EQ(events, step.replies);
        ASSERT_EQ(timers.armed.size(), 1u);
        timers.fire(step.nextMs);
    }
    browse.stop();
    EXPECT_TRUE(dns.open.empty());
    EXPECT_TRUE(timers.armed.empty());
}

struct Resolved {
    DNSServiceErrorType error = 1;
    std::string host, txt;
    uint16_t port = 0;
};

void resolved(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char*,
              const char* host, uint16_t port, uint16_t size, const unsigned char* txt, void* context) {
    *static_cast<Resolved*>(context) = {error, host, std::string(reinterpret_cast<const char*>(txt), size),
                                        ntohs(port)};
}

// SRV and TXT go out together; the reply waits for both: the best SRV (lowest
// priority, then highest weight), the TXT strings as they were, empty ones too.
TEST(UnicastOperations, ResolveRepliesOnceBothAnswersAreIn) {
    const std::string owner = "Zelm\\032Printer._ipp._tcp.zelm.test. 60 IN ";
    FakeDns dns;
    FakeTimers timers;
    Sink sink;
    Resolved seen;
    UnicastResolveOperation resolve("Zelm Printer", "_ipp._tcp", "zelm.test", &resolved, &seen);
    resolve.begin(UnicastContext{&dns, &timers, &sink});
    ASSERT_EQ(dns.open.size(), 2u);
    const auto txtQuestion = dns.open.rbegin()->first;
    EXPECT_EQ(dns.open.rbegin()->second.name, "Zelm\\032Printer._ipp._tcp.zelm.test.");
    dns.answer(txtQuestion, Answer{Outcome::kAnswered, {}});  // malformed: as no TXT record
    EXPECT_EQ(seen.error, 1);
    dns.reply({owner + "SRV 1 0 80 backup.zelm.test.", owner + "SRV 0 1 81 low.zelm.test.",
               owner + "SRV 0 5 631 best.zelm.test."});
    EXPECT_EQ(seen.error, 0);
    EXPECT_EQ(seen.host, "best.zelm.test.");
    EXPECT_EQ(seen.port, 631);
    EXPECT_EQ(seen.txt, std::string(1, '\0'));

    UnicastResolveOperation again("Zelm Printer", "_ipp._tcp", "zelm.test", &resolved, &seen);
    again.begin(UnicastContext{&dns, &timers, &sink});
    dns.reply({owner + "SRV 0 0 631 best.zelm.test."});
    dns.reply({owner + "TXT \"a=1\" \"\" \"b\""});
    EXPECT_EQ(seen.txt, std::string("\003a=1\000\001b", 7));

    UnicastResolveOperation missing("Nobody", "_ipp._tcp", "zelm.test", &resolved, &seen);
    missing.begin(UnicastContext{&dns, &timers, &sink});
    dns.reply({}, LDNS_RCODE_NXDOMAIN);
    dns.reply({}, LDNS_RCODE_NXDOMAIN);
    EXPECT_EQ(seen.error, kDNSServiceErr_NoSuchName);
}

// Which way a name goes: the link-local domain (and its reverse zones) to the
// daemon, whatever its case, and nothing that only looks like it.
TEST(UnicastOperations, OnlyTheLinkLocalDomainGoesToTheDaemon) {
    for (const char* domain : {"", "local", "LOCAL", "sub.Local", "254.169.in-addr.arpa", "8.E.F.ip6.arpa",
                               "b.e.f.ip6.arpa", "1.b.e.f.ip6.arpa"}) {
        EXPECT_TRUE(isLinkLocalDomain(domain)) << domain;
    }
    for (const char* domain : {"zelm.test", "local.test", "notlocal", "c.e.f.ip6.arpa", "169.in-addr.arpa"}) {
        EXPECT_FALSE(isLinkLocalDomain(domain)) << domain;
    }
    for (const char* host : {"printer.local.", "printer.LOCAL"}) {
        EXPECT_TRUE(isLinkLocalHost(host)) << host;
    }
    for (const char* host : {"printer", "printer.", "printer.zelm.test.", "local.printer"}) {
        EXPECT_FALSE(isLinkLocalHost(host)) << host;
    }
}

}  // namespace
}  // namespace Zelm::DnsSd

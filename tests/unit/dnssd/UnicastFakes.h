#pragma once

// What the unicast operations run on, faked: a DNS client that keeps every
// request open until the test answers it with a message built by ldns, a
// clock fired by hand, and a sink that delivers each reply at once.

#include <gtest/gtest.h>
#include <ldns/ldns.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>

#include "operations/UnicastOperation.h"

namespace Zelm::DnsSd {

struct FakeDns final : Unicast::DnsClient {
    struct Open {
        std::string name;  // a query's name; empty for a sent message
        std::uint16_t type;
        Unicast::Server server;
        std::vector<std::uint8_t> message;
        Callback done;
    };
    std::map<Request, Open> open;
    Request next = 1;
    std::vector<std::unique_ptr<ldns_pkt, void (*)(ldns_pkt*)>> updates;  // those answered, parsed

    Request query(const std::string& name, std::uint16_t type, Callback done) override {
        open[next] = {name, type, {}, {}, std::move(done)};
        return next++;
    }
    Request send(const Unicast::Server& server, std::vector<std::uint8_t> message, Callback done) override {
        open[next] = {"", 0, server, std::move(message), std::move(done)};
        return next++;
    }
    void cancel(Request request) override { answer(request, {Unicast::Outcome::kCancelled, {}}); }

    void answer(Request request, const Unicast::Answer& answer) {
        const auto found = open.find(request);
        if (found == open.end()) return;
        Callback done = std::move(found->second.done);
        open.erase(found);
        done(answer);
    }
    Open take() {
        if (open.empty()) throw std::runtime_error("nothing was sent");
        Open oldest = std::move(open.begin()->second);
        open.erase(open.begin());
        return oldest;
    }
    // Answers the oldest query with `rrs` (presentation form) in the answer section; returns its name.
    std::string reply(const std::vector<std::string>& rrs, ldns_pkt_rcode rcode = LDNS_RCODE_NOERROR) {
        Open asked = take();
        ldns_pkt* pkt = ldns_pkt_query_new(ldns_dname_new_frm_str(asked.name.c_str()),
                                           static_cast<ldns_rr_type>(asked.type), LDNS_RR_CLASS_IN, LDNS_QR);
        ldns_pkt_set_rcode(pkt, static_cast<uint8_t>(rcode));
        for (const std::string& text : rrs) {
            ldns_rr* rr = nullptr;
            EXPECT_EQ(ldns_rr_new_frm_str(&rr, text.c_str(), 60, nullptr, nullptr), LDNS_STATUS_OK) << text;
            ldns_pkt_push_rr(pkt, LDNS_SECTION_ANSWER, rr);
        }
        deliver(asked, pkt);
        return asked.name;
    }
    // Answers the oldest update as a server would, with `rcode`; the update comes back parsed.
    ldns_pkt* answerUpdate(ldns_pkt_rcode rcode, Unicast::Server* to = nullptr) {
        Open asked = take();
        ldns_pkt* pkt = nullptr;
        EXPECT_EQ(ldns_wire2pkt(&pkt, asked.message.data(), asked.message.size()), LDNS_STATUS_OK);
        updates.emplace_back(pkt, ldns_pkt_free);
        if (to != nullptr) *to = asked.server;
        ldns_pkt* reply = ldns_pkt_clone(pkt);
        ldns_pkt_set_qr(reply, true);
        ldns_pkt_set_rcode(reply, static_cast<uint8_t>(rcode));
        deliver(asked, reply);
        return pkt;
    }
    void deliver(Open& asked, ldns_pkt* pkt) {
        uint8_t* wire = nullptr;
        size_t size = 0;
        ldns_pkt2wire(&wire, pkt, &size);
        ldns_pkt_free(pkt);
        asked.done({Unicast::Outcome::kAnswered, std::vector<std::uint8_t>(wire, wire + size)});
        std::free(wire);
    }
};

struct FakeTimers final : Scheduler {
    std::map<Timer*, int> armed;  // the delay each was armed with
    bool schedule(Timer& timer, int delayMs) override { return armed[&timer] = delayMs, true; }
    void cancel(Timer& timer) override { armed.erase(&timer); }
    void fire(int delayMs) {  // the timer armed for `delayMs`
        for (auto [timer, delay] : armed)
            if (delay == delayMs) return armed.erase(timer), timer->fire();
        ADD_FAILURE() << "no timer for " << delayMs;
    }
};

struct Reply {
    DNSServiceFlags flags;
    DNSServiceErrorType code;
    std::string name;
};

// Delivers each reply at once, with itself as the reference.
struct Sink final : ReplySink {
    std::vector<Reply> replies;  // for callbacks that record into it
    void post(Delivery delivery, bool) override { delivery(reinterpret_cast<DNSServiceRef>(this), 0); }
    void lose() override { ADD_FAILURE() << "lost a reply"; }
};

}  // namespace Zelm::DnsSd

#include "unicast/update/PrimaryLocator.h"

#include "names/ServiceNames.h"
#include "unicast/DnsAnswer.h"
#include "unicast/LdnsPointers.h"

#include <arpa/inet.h>

#include <ldns/ldns.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace Zelm::DnsSd::Unicast::Update {

namespace {

Packet parsed(const std::vector<std::uint8_t>& message) {
    ldns_pkt* pkt = nullptr;
    if (ldns_wire2pkt(&pkt, message.data(), message.size()) != LDNS_STATUS_OK) {
        return nullptr;
    }
    return Packet(pkt);
}

// Presentation form, with the trailing dot for a name.
std::string text(const ldns_rdf* rdf) {
    char* printed = ldns_rdf2str(rdf);
    if (printed == nullptr) {
        throw std::bad_alloc();
    }
    std::string result(printed);
    std::free(printed);
    return result;
}

// The first record of `type` in `section`, or null.
const ldns_rr* first(const ldns_rr_list* section, ldns_rr_type type) {
    for (size_t i = 0; section != nullptr && i < ldns_rr_list_rr_count(section); ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(section, i);
        if (ldns_rr_get_type(rr) == type) {
            return rr;
        }
    }
    return nullptr;
}

// "a.b.c." becomes "b.c."; the root has no parent (empty).
std::string parentOf(const std::string& name) {
    size_t at = 0;
    while (at < name.size() && name[at] != '.') {
        at += name[at] == '\\' ? 2u : 1u;
    }
    return at + 1 < name.size() ? name.substr(at + 1) : std::string();
}

DNSServiceErrorType errorOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::kNoMemory:
            return kDNSServiceErr_NoMemory;
        case Outcome::kNoAnswer:
            return kDNSServiceErr_NoSuchName;
        default:
            return kDNSServiceErr_Timeout;
    }
}

}  // namespace

PrimaryLocator::~PrimaryLocator() {
    *self_ = nullptr;
    if (request_ != 0) {
        client_.cancel(request_);
    }
}

void PrimaryLocator::start(const std::string& domain, const ZoneSettings* settings, Done done) {
    done_ = std::move(done);
    if (settings != nullptr && settings->server) {
        primary_.zone = withTrailingDot(settings->domain.empty() ? domain : settings->domain);
        primary_.server = *settings->server;
        finish(kDNSServiceErr_NoError);
        return;
    }
    askSoa(withTrailingDot(domain));
}

void PrimaryLocator::ask(const std::string& name, std::uint16_t type,
                         std::function<void(const std::vector<std::uint8_t>&)> onAnswer) {
    request_ =
        client_.query(name, type, [self = self_, onAnswer = std::move(onAnswer)](const Answer& answer) {
            PrimaryLocator* locator = *self;
            if (locator == nullptr || answer.outcome == Outcome::kCancelled) {
                return;
            }
            locator->request_ = 0;
            if (answer.outcome != Outcome::kAnswered) {
                locator->finish(errorOf(answer.outcome));
                return;
            }
            try {
                onAnswer(answer.message);
            } catch (const std::bad_alloc&) {
                locator->finish(kDNSServiceErr_NoMemory);
            }
        });
}

void PrimaryLocator::askSoa(const std::string& name) {
    if (name.empty()) {
        finish(kDNSServiceErr_NoSuchName);
        return;
    }
    ask(name, LDNS_RR_TYPE_SOA, [this, name](const std::vector<std::uint8_t>& message) {
        const Packet pkt = parsed(message);
        const ldns_rr* soa = pkt ? first(ldns_pkt_answer(pkt.get()), LDNS_RR_TYPE_SOA) : nullptr;
        if (pkt && soa == nullptr) {
            soa = first(ldns_pkt_authority(pkt.get()), LDNS_RR_TYPE_SOA);
        }
        if (soa == nullptr || ldns_rr_rd_count(soa) < 1) {
            askSoa(parentOf(name));
            return;
        }
        primary_.zone = text(ldns_rr_owner(soa));
        mname_ = text(ldns_rr_rdf(soa, 0));
        askUpdateService();
    });
}

void PrimaryLocator::askUpdateService() {
    const std::string service = "_dns-update._udp." + primary_.zone;
    ask(service, LDNS_RR_TYPE_SRV, [this, service](const std::vector<std::uint8_t>& message) {
        const ReadAnswer read = readAnswer(message, service, LDNS_RR_TYPE_SRV);
        const Record* best = nullptr;
        for (const Record& record : read.records) {
            if (record.numbers.size() == 3 && record.names.size() == 1 &&
                (best == nullptr || record.numbers[0] < best->numbers[0])) {
                best = &record;
            }
        }
        // No such service, or its target "." (none): the SOA names the primary.
        const bool none = best == nullptr || best->names[0].empty();
        primary_.server.port = none ? 53 : best->numbers[2];
        askAddress(none ? mname_ : presentationName(best->names[0]), LDNS_RR_TYPE_A);
    });
}

void PrimaryLocator::askAddress(const std::string& host, std::uint16_t type) {
    ask(host, type, [this, host, type](const std::vector<std::uint8_t>& message) {
        const ReadAnswer read = readAnswer(message, host, type);
        char address[INET6_ADDRSTRLEN] = {};
        const int family = type == LDNS_RR_TYPE_A ? AF_INET : AF_INET6;
        if (!read.records.empty() &&
            ::inet_ntop(family, read.records.front().address.data(), address, sizeof address) != nullptr) {
            primary_.server.address = address;
            finish(kDNSServiceErr_NoError);
        } else if (type == LDNS_RR_TYPE_A) {
            askAddress(host, LDNS_RR_TYPE_AAAA);
        } else {
            finish(kDNSServiceErr_NoSuchName);
        }
    });
}

void PrimaryLocator::finish(DNSServiceErrorType error) {
    if (done_) {
        std::exchange(done_, nullptr)(error, primary_);
    }
}

}  // namespace Zelm::DnsSd::Unicast::Update

#include "unicast/update/UpdateMessage.h"

#include "unicast/LdnsPointers.h"

#include <arpa/inet.h>
#include <ldns/ldns.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace Zelm::DnsSd::Unicast::Update {

namespace {

// Seconds of clock difference a server may see in the TSIG's time signed.
constexpr std::uint16_t kTsigFudge = 300;
constexpr std::uint16_t kEdnsPayload = 1232;

// A failure of ldns that is not the lack of memory.
struct Rejected {
    BuildFailure failure;
};

template <typename T>
T* made(T* object) {
    if (object == nullptr) {
        throw std::bad_alloc();
    }
    return object;
}

ldns_rdf* dname(const std::string& name) {
    ldns_rdf* rdf = ldns_dname_new_frm_str(name.c_str());
    if (rdf == nullptr) {
        throw Rejected{BuildFailure::kName};
    }
    return rdf;
}

// An RR without data; `list` owns it from here on.
ldns_rr* addRr(ldns_rr_list* list, const std::string& owner, ldns_rr_type type, ldns_rr_class rrClass,
               std::uint32_t ttl) {
    ldns_rr* rr = made(ldns_rr_new());
    if (!ldns_rr_list_push_rr(list, rr)) {
        ldns_rr_free(rr);
        throw std::bad_alloc();
    }
    ldns_rr_set_owner(rr, dname(owner));
    ldns_rr_set_type(rr, type);
    ldns_rr_set_class(rr, rrClass);
    ldns_rr_set_ttl(rr, ttl);
    return rr;
}

void push(ldns_rr* rr, ldns_rdf* rdf) {
    if (!ldns_rr_push_rdf(rr, rdf)) {
        ldns_rdf_deep_free(rdf);
        throw std::bad_alloc();
    }
}

// The registration's records as adds (class IN) or as deletions of exactly
// these records (class NONE, TTL 0).
class RecordWriter {
public:
    RecordWriter(ldns_rr_list* list, const ServiceRecords& records, bool deletion)
        : RecordWriter(list, records, deletion, deletion ? 0 : records.ttl) {}
    RecordWriter(ldns_rr_list* list, const ServiceRecords& records, bool deletion, std::uint32_t ttl)
        : list_(list),
          records_(records),
          class_(deletion ? LDNS_RR_CLASS_NONE : LDNS_RR_CLASS_IN),
          ttl_(ttl) {}

    void all() {
        pointers();
        service();
        addresses();
    }

    void pointers() {
        pointer(records_.type);
        for (const std::string& subtype : records_.subtypes) {
            pointer(subtype);
        }
    }

    void service(bool withText = true) {
        ldns_rr* srv = addRr(list_, records_.instance, LDNS_RR_TYPE_SRV, class_, ttl_);
        push(srv, made(ldns_native2rdf_int16(LDNS_RDF_TYPE_INT16, 0)));  // priority
        push(srv, made(ldns_native2rdf_int16(LDNS_RDF_TYPE_INT16, 0)));  // weight
        push(srv, made(ldns_native2rdf_int16(LDNS_RDF_TYPE_INT16, records_.port)));
        push(srv, dname(records_.host));
        if (withText) {
            text();
        }
    }

    void text() {
        ldns_rr* txt = addRr(list_, records_.instance, LDNS_RR_TYPE_TXT, class_, ttl_);
        // A TXT record has at least one string; an empty record is one empty string.
        const std::vector<std::string> empty{std::string()};
        for (const std::string& string : records_.txt.empty() ? empty : records_.txt) {
            std::string characterString(1, static_cast<char>(std::min<size_t>(string.size(), 255)));
            characterString.append(string, 0, 255);
            push(txt, made(ldns_rdf_new_frm_data(LDNS_RDF_TYPE_STR, characterString.size(),
                                                 characterString.data())));
        }
    }

    void addresses() {
        for (const auto& address : records_.ipv4) {
            ldns_rr* a = addRr(list_, records_.host, LDNS_RR_TYPE_A, class_, ttl_);
            push(a, made(ldns_rdf_new_frm_data(LDNS_RDF_TYPE_A, address.size(), address.data())));
        }
        for (const auto& address : records_.ipv6) {
            ldns_rr* aaaa = addRr(list_, records_.host, LDNS_RR_TYPE_AAAA, class_, ttl_);
            push(aaaa, made(ldns_rdf_new_frm_data(LDNS_RDF_TYPE_AAAA, address.size(), address.data())));
        }
    }

private:
    void pointer(const std::string& owner) {
        ldns_rr* ptr = addRr(list_, owner, LDNS_RR_TYPE_PTR, class_, ttl_);
        push(ptr, dname(records_.instance));
    }

    ldns_rr_list* list_;
    const ServiceRecords& records_;
    const ldns_rr_class class_;
    const std::uint32_t ttl_;
};

void addLeaseOption(ldns_pkt* pkt, std::uint32_t leaseSeconds) {
    const std::uint32_t lease = htonl(leaseSeconds);
    ldns_edns_option_list* options = made(ldns_edns_option_list_new());
    ldns_edns_option* option = ldns_edns_new_from_data(LDNS_EDNS_UL, sizeof lease, &lease);
    if (option == nullptr || !ldns_edns_option_list_push(options, option)) {
        ldns_edns_deep_free(option);
        ldns_edns_option_list_deep_free(options);
        throw std::bad_alloc();
    }
    ldns_pkt_set_edns_option_list(pkt, options);
}

std::vector<std::uint8_t> wireOf(const ldns_pkt* pkt) {
    uint8_t* wire = nullptr;
    size_t size = 0;
    if (ldns_pkt2wire(&wire, pkt, &size) != LDNS_STATUS_OK) {
        throw std::bad_alloc();
    }
    std::vector<std::uint8_t> bytes(wire, wire + size);
    std::free(wire);
    return bytes;
}

// The TSIG's MAC field (its fourth field) in wire form.
std::vector<std::uint8_t> macOf(const ldns_pkt* pkt) {
    const ldns_rr* tsig = ldns_pkt_tsig(pkt);
    const ldns_rdf* mac = tsig != nullptr ? ldns_rr_rdf(tsig, 3) : nullptr;
    if (mac == nullptr) {
        return {};
    }
    const std::uint8_t* data = ldns_rdf_data(mac);
    return std::vector<std::uint8_t>(data, data + ldns_rdf_size(mac));
}

std::uint32_t grantedLease(ldns_pkt* pkt) {
    ldns_edns_option_list* options = ldns_pkt_edns_get_option_list(pkt);
    const size_t count = options != nullptr ? ldns_edns_option_list_get_count(options) : 0;
    for (size_t i = 0; i < count; ++i) {
        const ldns_edns_option* option = ldns_edns_option_list_get_option(options, i);
        if (ldns_edns_get_code(option) == LDNS_EDNS_UL && ldns_edns_get_size(option) >= 4) {
            std::uint32_t lease;
            std::memcpy(&lease, ldns_edns_get_data(option), sizeof lease);
            return ntohl(lease);
        }
    }
    return 0;
}

bool verified(ldns_pkt* pkt, const std::vector<std::uint8_t>& answer, const Prepared& sent, const Key& key) {
    const Rdf requestMac(
        ldns_rdf_new_frm_data(LDNS_RDF_TYPE_INT16_DATA, sent.requestMac.size(), sent.requestMac.data()));
    return requestMac && ldns_pkt_tsig_verify(pkt, answer.data(), answer.size(), key.name.c_str(),
                                              key.secret.c_str(), requestMac.get());
}

}  // namespace

std::optional<Prepared> buildUpdate(Change change, const ServiceRecords& records, const Key* key,
                                    std::uint32_t leaseSeconds, bool withdrawHost, BuildFailure* failure) {
    try {
        const RrList prerequisites(made(ldns_rr_list_new()));
        const RrList updates(made(ldns_rr_list_new()));
        switch (change) {
            case Change::Register:
            case Change::Refresh:
                if (change == Change::Register) {
                    addRr(prerequisites.get(), records.instance, LDNS_RR_TYPE_ANY, LDNS_RR_CLASS_NONE, 0);
                } else {  // the TXT record is replaced, the rest added again
                    addRr(updates.get(), records.instance, LDNS_RR_TYPE_TXT, LDNS_RR_CLASS_ANY, 0);
                }
                RecordWriter(updates.get(), records, false).all();
                break;
            case Change::Withdraw: {
                // Only while the SRV record is exactly the one this
                // registration added (RFC 2136 2.4.2): a name lost to
                // someone else, whose answer never came, stays theirs.
                RecordWriter(prerequisites.get(), records, false, 0).service(false);
                RecordWriter deletions(updates.get(), records, true);
                deletions.pointers();
                // The instance name is this registration's alone: its SRV and
                // TXT go whatever the server holds there now.
                addRr(updates.get(), records.instance, LDNS_RR_TYPE_SRV, LDNS_RR_CLASS_ANY, 0);
                addRr(updates.get(), records.instance, LDNS_RR_TYPE_TXT, LDNS_RR_CLASS_ANY, 0);
                if (withdrawHost) {
                    deletions.addresses();
                }
                break;
            }
        }
        const Packet pkt(made(ldns_update_pkt_new(dname(records.zone), LDNS_RR_CLASS_IN, prerequisites.get(),
                                                  updates.get(), nullptr)));
        ldns_pkt_set_random_id(pkt.get());
        if (leaseSeconds != 0) {
            ldns_pkt_set_edns_udp_size(pkt.get(), kEdnsPayload);
            addLeaseOption(pkt.get(), leaseSeconds);
        }
        if (key != nullptr &&
            ldns_pkt_tsig_sign(pkt.get(), key->name.c_str(), key->secret.c_str(), kTsigFudge,
                               key->algorithm.c_str(), nullptr) != LDNS_STATUS_OK) {
            throw Rejected{BuildFailure::kKey};
        }
        return Prepared{wireOf(pkt.get()), macOf(pkt.get())};
    } catch (const Rejected& rejected) {
        if (failure != nullptr) {
            *failure = rejected.failure;
        }
        return std::nullopt;
    }
}

UpdateAnswer readUpdateAnswer(const std::vector<std::uint8_t>& answer, const Prepared& sent, const Key* key) {
    UpdateAnswer read;
    ldns_pkt* parsed = nullptr;
    if (ldns_wire2pkt(&parsed, answer.data(), answer.size()) != LDNS_STATUS_OK) {
        return read;
    }
    const Packet pkt(parsed);
    if (!ldns_pkt_qr(pkt.get()) || ldns_pkt_get_opcode(pkt.get()) != LDNS_PACKET_UPDATE) {
        return read;
    }
    read.rcode = ldns_pkt_get_rcode(pkt.get());
    const ldns_rr* tsig = ldns_pkt_tsig(pkt.get());
    const ldns_rdf* tsigError = tsig != nullptr ? ldns_rr_rdf(tsig, 5) : nullptr;
    const bool keyRejected = tsigError != nullptr && ldns_rdf2native_int16(tsigError) != 0;
    if (read.rcode == LDNS_RCODE_REFUSED || read.rcode == LDNS_RCODE_NOTAUTH || keyRejected) {
        read.verdict = UpdateAnswer::Verdict::Refused;
        return read;
    }
    read.leaseSeconds = grantedLease(pkt.get());
    if (key != nullptr && !verified(pkt.get(), answer, sent, *key)) {
        return UpdateAnswer{};
    }
    switch (read.rcode) {
        case LDNS_RCODE_NOERROR:
            read.verdict = UpdateAnswer::Verdict::Done;
            break;
        case LDNS_RCODE_YXDOMAIN:
        case LDNS_RCODE_YXRRSET:
            read.verdict = UpdateAnswer::Verdict::InUse;
            break;
        default:
            read.verdict = UpdateAnswer::Verdict::Failed;
            break;
    }
    return read;
}

}  // namespace Zelm::DnsSd::Unicast::Update

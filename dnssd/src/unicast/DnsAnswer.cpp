#include "unicast/DnsAnswer.h"

#include "names/ServiceNames.h"
#include "unicast/LdnsPointers.h"

#include <ldns/ldns.h>

#include <memory>

namespace Zelm::DnsSd::Unicast {

namespace {

// A field that does not have the shape its type promises.
struct Malformed {};

// ldns keeps a label, and a character string, as its length byte and its bytes.
std::string lengthPrefixed(const ldns_rdf* rdf) {
    const std::uint8_t* data = ldns_rdf_data(rdf);
    const std::size_t size = ldns_rdf_size(rdf);
    if (size == 0 || data[0] + 1u > size) {
        throw Malformed{};
    }
    return std::string(reinterpret_cast<const char*>(data + 1), data[0]);
}

std::vector<std::string> labelsOf(const ldns_rdf* name) {
    std::vector<std::string> labels;
    const std::uint8_t count = ldns_dname_label_count(name);
    for (std::uint8_t i = 0; i < count; ++i) {
        const Rdf label(ldns_dname_label(name, i));
        if (!label) {
            throw Malformed{};
        }
        labels.push_back(lengthPrefixed(label.get()));
    }
    return labels;
}

Record recordOf(const ldns_rr* rr) {
    Record record;
    record.ttl = ldns_rr_ttl(rr);
    for (std::size_t i = 0; i < ldns_rr_rd_count(rr); ++i) {
        const ldns_rdf* field = ldns_rr_rdf(rr, i);
        switch (ldns_rdf_get_type(field)) {
            case LDNS_RDF_TYPE_DNAME:
                record.names.push_back(labelsOf(field));
                break;
            case LDNS_RDF_TYPE_STR:
                record.strings.push_back(lengthPrefixed(field));
                break;
            case LDNS_RDF_TYPE_INT16:
                record.numbers.push_back(ldns_rdf2native_int16(field));
                break;
            case LDNS_RDF_TYPE_A:
            case LDNS_RDF_TYPE_AAAA:
                record.address.assign(reinterpret_cast<const char*>(ldns_rdf_data(field)),
                                      ldns_rdf_size(field));
                break;
            default:
                break;
        }
    }
    return record;
}

ReadAnswer readRecords(const std::vector<std::uint8_t>& message, const std::string& name, std::uint16_t type);

}  // namespace

ReadAnswer readAnswer(const std::vector<std::uint8_t>& message, const std::string& name, std::uint16_t type) {
    try {
        return readRecords(message, name, type);
    } catch (const Malformed&) {
        return ReadAnswer{};
    }
}

namespace {

ReadAnswer readRecords(const std::vector<std::uint8_t>& message, const std::string& name,
                       std::uint16_t type) {
    ReadAnswer answer;
    ldns_pkt* parsed = nullptr;
    if (ldns_wire2pkt(&parsed, message.data(), message.size()) != LDNS_STATUS_OK) {
        return answer;
    }
    const Packet packet(parsed);
    Rdf wanted(ldns_dname_new_frm_str(name.c_str()));
    const ldns_rr_list* question = ldns_pkt_question(packet.get());
    if (!wanted || !ldns_pkt_qr(packet.get()) || ldns_pkt_get_opcode(packet.get()) != LDNS_PACKET_QUERY ||
        ldns_rr_list_rr_count(question) != 1) {
        return answer;
    }
    const ldns_rr* asked = ldns_rr_list_rr(question, 0);
    if (ldns_dname_compare(ldns_rr_owner(asked), wanted.get()) != 0 || ldns_rr_get_type(asked) != type ||
        ldns_rr_get_class(asked) != LDNS_RR_CLASS_IN) {
        return answer;
    }
    answer.valid = true;
    answer.rcode = ldns_pkt_get_rcode(packet.get());
    // The name the records belong to: the asked one, or where its CNAMEs lead.
    const ldns_rr_list* records = ldns_pkt_answer(packet.get());
    const std::size_t count = ldns_rr_list_rr_count(records);
    const ldns_rdf* owner = wanted.get();
    for (std::size_t hops = 0; hops <= count; ++hops) {
        const ldns_rdf* next = nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            const ldns_rr* rr = ldns_rr_list_rr(records, i);
            if (ldns_rr_get_class(rr) != LDNS_RR_CLASS_IN ||
                ldns_dname_compare(ldns_rr_owner(rr), owner) != 0) {
                continue;
            }
            if (ldns_rr_get_type(rr) == type) {
                answer.records.push_back(recordOf(rr));
            } else if (ldns_rr_get_type(rr) == LDNS_RR_TYPE_CNAME && ldns_rr_rd_count(rr) == 1) {
                next = ldns_rr_rdf(rr, 0);
            }
        }
        if (!answer.records.empty() || next == nullptr) {
            break;
        }
        owner = next;
    }
    return answer;
}

}  // namespace

std::string questionName(const std::vector<std::uint8_t>& message) {
    ldns_pkt* parsed = nullptr;
    if (ldns_wire2pkt(&parsed, message.data(), message.size()) != LDNS_STATUS_OK) {
        return "";
    }
    const Packet packet(parsed);
    const ldns_rr_list* question = ldns_pkt_question(packet.get());
    if (ldns_rr_list_rr_count(question) != 1) {
        return "";
    }
    try {
        return presentationName(labelsOf(ldns_rr_owner(ldns_rr_list_rr(question, 0))));
    } catch (const Malformed&) {
        return "";
    }
}

std::string presentationName(const std::vector<std::string>& labels) {
    std::string name;
    for (const std::string& label : labels) {
        name += escapeLabel(label) + '.';
    }
    return name.empty() ? "." : name;
}

}  // namespace Zelm::DnsSd::Unicast

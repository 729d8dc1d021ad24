#pragma once

// Reads a DNS answer with ldns: the records of the asked type that belong to
// the asked name (following CNAMEs within the answer), each with its TTL and
// its data as ldns parsed it. Nothing is taken from a message that is not a
// standard response to exactly that question: the transport already matched
// id, question and source, this keeps a record for another name or type
// from ever reaching a caller.

#include <cstdint>
#include <string>
#include <vector>

namespace Zelm::DnsSd::Unicast {

// One record's data: its fields in order, by kind.
struct Record {
    std::uint32_t ttl = 0;
    std::vector<std::vector<std::string>> names;  // domain-name fields, as raw labels
    std::vector<std::string> strings;             // character strings (TXT), raw bytes
    std::vector<std::uint16_t> numbers;           // 16-bit fields (SRV priority, weight, port)
    std::string address;                          // A or AAAA: the address's bytes
};

struct ReadAnswer {
    bool valid = false;  // a response to the question, parsed whole
    int rcode = 0;       // 0 NOERROR, 3 NXDOMAIN, ...
    std::vector<Record> records;
};

// `name` in presentation form ("Zelm\032Alpha._http._tcp.example.").
ReadAnswer readAnswer(const std::vector<std::uint8_t>& message, const std::string& name, std::uint16_t type);

// The name in the message's one question, in presentation form; "" when
// there is none. A searched name's answer carries the search domain.
std::string questionName(const std::vector<std::uint8_t>& message);

// A name's labels in presentation form, joined, with the trailing dot.
std::string presentationName(const std::vector<std::string>& labels);

}  // namespace Zelm::DnsSd::Unicast

#pragma once

// What the start calls accept as names, before anything reaches D-Bus. Every
// string crossing D-Bus must be valid UTF-8 (libdbus aborts the process
// otherwise), and the daemon can only publish or ask for names that fit in a
// DNS message. Free of Avahi so that they can be tested alone.

#include <string>
#include <string_view>
#include <vector>

namespace Zelm::DnsSd {

// The longest label DNS allows.
constexpr std::size_t kMaxLabelBytes = 63;

// ASCII only: the host's locale must not change what a name means.
char asciiLower(char c);
std::string asciiLower(std::string text);

// UTF-8 as D-Bus takes it: shortest forms only, no surrogates, nothing past
// U+10FFFF.
bool isValidUtf8(std::string_view text);

// Splits a name in presentation form ("My\032Printer.local.", with the
// escapes \DDD, \. and \\ ) into its unescaped labels. False unless the text
// and every label are valid UTF-8, every label has 1 to 63 bytes and the
// whole name, in wire form, at most 255. "" and "." are the root: no labels.
bool parseDnsName(std::string_view name, std::vector<std::string>& labels);

// A name in presentation form in the DNS's wire form: each label after its
// length byte, then the root's zero byte. False when parseDnsName is.
bool toWireName(std::string_view name, std::string& wire);

// parseDnsName without the labels.
bool isValidDnsName(std::string_view name);

// A host name: a valid DNS name of at least one label.
bool isValidHostName(const char* name);

// A domain argument: null, or a valid DNS name ("" and "." being the default).
bool isValidDomainArgument(const char* domain);

// A service instance name, one label as plain text: 1 to 63 bytes of UTF-8.
bool isValidInstanceName(std::string_view name);

// What a service type is checked for. Publish: "_name._tcp" or "_name._udp"
// where name is an RFC 6335 service name (1 to 15 letters, digits and
// hyphens, at least one letter, no hyphen at either end or next to another),
// so that every DNS-SD browser, strict ones too, can find what this host
// publishes. Find: what the daemon browses for and peers publish, any label
// of at least two bytes after its underscore ("_my_svc._tcp", "_123._udp").
enum class TypeUse { Publish, Find };

// A service type without a trailing dot, by the rule for `use`.
bool isValidServiceType(std::string_view type, TypeUse use);

// A subtype ("_printer"): one label in presentation form.
bool isValidSubtype(std::string_view subtype);

// A subtype spelt as the one name the daemon browses, "_printer._sub._http._tcp"
// (no trailing dot): a subtype, the label "_sub" in any case, then a service
// type. True with the two parts, still in presentation form, in `subtype`
// and `type`.
bool splitSubtypeName(std::string_view name, std::string& subtype, std::string& type, TypeUse use);

}  // namespace Zelm::DnsSd

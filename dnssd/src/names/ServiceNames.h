#pragma once

// Conversions between the names DNS-SD callers use and the ones the Avahi
// daemon takes and reports. Free of Avahi so that they can be tested alone.

#include "names/NameRules.h"

#include <string>
#include <vector>

namespace Zelm::DnsSd {

// One DNS label in presentation form: '.' and '\' get a backslash, bytes up
// to the space and DEL become \DDD (decimal). Other bytes, UTF-8 included,
// stay as they are: "Peer Web" becomes "Peer\032Web".
std::string escapeLabel(const std::string& label);

// `name` is the final label of a presentation-form name when it ends with a
// dot that no backslash escapes.
bool endsWithUnescapedDot(const std::string& name);

// The name with one unescaped trailing dot added or removed.
std::string withTrailingDot(const std::string& name);
std::string withoutTrailingDot(const std::string& name);

// "<escaped instance>.<type>.<domain>." from a plain instance name and a
// type and domain without their trailing dots.
std::string fullServiceName(const std::string& instance, const std::string& type, const std::string& domain);

// fullServiceName from a caller's arguments, checked: `instance` null (no
// instance label) or a valid instance name, `type` and `domain` DNS names of
// at least one label in presentation form. False when one is not, or when
// the name, with its terminating zero, is longer than `capacity`.
bool constructFullName(const char* instance, const char* type, const char* domain, std::size_t capacity,
                       std::string& full);

// A DNS-SD service type argument: "_http._tcp" or "_http._tcp." optionally
// followed by subtypes after commas ("_http._tcp,_printer"), or one subtype
// spelt as the name the daemon browses ("_printer._sub._http._tcp").
struct ServiceType {
    std::string type;                   // without trailing dot
    std::vector<std::string> subtypes;  // "_printer", without trailing dots
};

// False unless the type and every subtype follow the name rules for `use`
// (isValidServiceType, isValidSubtype, splitSubtypeName).
bool parseServiceType(const char* text, ServiceType& parsed, TypeUse use);

// Whether every name the daemon derives from these parts fits in a DNS name:
// "<type>.<domain>", "<subtype>._sub.<type>.<domain>" and, unless `instance`
// is empty, "<escaped instance>.<type>.<domain>". An empty domain stands for
// "local".
bool serviceNamesFit(const std::string& instance, const ServiceType& type, const std::string& domain);

// The name a registration takes next after a conflict, on the link and in
// a unicast zone alike: "Name" becomes "Name #2", "Name #2" becomes
// "Name #3"; the base is shortened, never inside a UTF-8 sequence, to keep
// the label within 63 bytes.
std::string alternativeName(const std::string& name);

// The subtype's own name in the form the daemon takes: "_printer._sub._http._tcp".
std::string subtypeName(const std::string& subtype, const std::string& type);

// A domain argument: null, "" and "." mean the default domain (empty result);
// otherwise the domain without its trailing dot.
std::string domainArgument(const char* domain);

}  // namespace Zelm::DnsSd

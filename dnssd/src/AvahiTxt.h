#pragma once

// TXT strings to and from Avahi string lists.
//
// Avahi builds its lists by prepending and reverses them when it serialises,
// and the client library and the daemon each rebuild the lists that cross
// D-Bus. The net effect, which these functions undo: a list handed to an
// entry group is published tail first, and a list a resolver reports holds
// the record's first string at its head.

#include <avahi-common/strlst.h>

#include <string>
#include <vector>

namespace Zelm::DnsSd {

// A new list (free with avahi_string_list_free) to publish `strings` in their
// order: its head is the last string. Empty strings are left out: the daemon
// refuses a TXT record holding one ("Invalid record"). Null for no strings,
// which the daemon publishes as the empty TXT record (one zero byte). Null
// also when memory runs out, with `ok` false.
AvahiStringList* toPublishedList(const std::vector<std::string>& strings, bool& ok);

// The strings of a list a resolver reported, in the record's order.
std::vector<std::string> fromResolvedList(const AvahiStringList* list);

}  // namespace Zelm::DnsSd

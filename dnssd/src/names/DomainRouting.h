#pragma once

// Which way a name goes: the link-local domain to avahi-daemon (multicast
// DNS), every other domain to the backend's own unicast DNS-SD client.

#include <string>

namespace Zelm::DnsSd {

// "local" and the link-local reverse zones (254.169.in-addr.arpa,
// 8.e.f.ip6.arpa to b.e.f.ip6.arpa), any case, and names below them; also
// the empty domain, which a browse or registration takes as "local" (the
// daemon's default), not as the resolver's search domains. A domain argument
// as domainArgument() gives it: presentation form, no trailing dot.
bool isLinkLocalDomain(const std::string& domain);

// A host name for the daemon: one below "local", or a bare one-label name,
// which multicast DNS answers on the link (as before unicast DNS-SD).
// Every other name is looked up by unicast DNS.
bool isLinkLocalHost(const std::string& host);

}  // namespace Zelm::DnsSd

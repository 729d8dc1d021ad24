#pragma once

// This host's network interfaces, as mDNS sees them.

#include <map>
#include <string>
#include <vector>

namespace Zelm::Tool {

struct NetworkInterface {
    unsigned int index = 0;
    unsigned int flags = 0;              // IFF_UP, IFF_MULTICAST, IFF_LOOPBACK, ...
    std::string address;                 // an IPv4 address, else an IPv6 one; empty without any
    std::vector<std::string> addresses;  // all of them, numeric, IPv6 ones without a zone
    bool linkLocalIPv6 = false;          // has an fe80::/10 address

    // Up and MULTICAST, not loopback (which carries no mDNS), with an address.
    bool fitForMdns() const;
};

// By name.
std::map<std::string, NetworkInterface> networkInterfaces();

// The name of the interface with this index; empty for 0 (any interface, as
// wide-area replies have), the number as text for one that is gone.
std::string interfaceName(int index);

}  // namespace Zelm::Tool

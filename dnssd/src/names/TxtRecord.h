#pragma once

// TXT record wire form: a sequence of strings, each one length byte followed
// by that many bytes. Kept free of Avahi so that it can be tested alone.

#include <cstddef>
#include <string>
#include <vector>

namespace Zelm::DnsSd {

// The largest TXT record, in wire bytes, that the daemon can send whatever the
// service's name. The daemon puts each record alone into a message of at most
// 1452 bytes (a 1500-byte Ethernet MTU less the IPv6 and UDP headers) and
// drops one that does not fit ("Record too large, cannot send"). Besides the
// TXT data that message holds its 12-byte header, the record's owner name (at
// most 255 bytes) and the record's 10 bytes of type, class, TTL and length.
constexpr std::size_t kMaxTxtRecordBytes = 1452 - 12 - 255 - 10;

// Splits `size` bytes of wire form into its strings, empty strings included.
// Zero bytes yield no strings. False when a length byte points past the end.
bool parseTxtRecord(const void* data, std::size_t size, std::vector<std::string>& strings);

// The wire form of `strings`, in their order. No strings give the one zero
// byte that stands for an empty TXT record. A string longer than 255 bytes
// is cut to 255, the most one length byte can announce.
std::string txtRecordBytes(const std::vector<std::string>& strings);

}  // namespace Zelm::DnsSd

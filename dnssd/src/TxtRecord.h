#pragma once

// TXT record wire form: a sequence of strings, each one length byte followed
// by that many bytes. Kept free of Avahi so that it can be tested alone.

#include <cstddef>
#include <string>
#include <vector>

namespace Zelm::DnsSd {

// Splits `size` bytes of wire form into its strings, empty strings included.
// Zero bytes yield no strings. False when a length byte points past the end.
bool parseTxtRecord(const void* data, std::size_t size, std::vector<std::string>& strings);

// The wire form of `strings`, in their order. No strings give the one zero
// byte that stands for an empty TXT record. A string longer than 255 bytes
// is cut to 255, the most one length byte can announce.
std::string txtRecordBytes(const std::vector<std::string>& strings);

}  // namespace Zelm::DnsSd

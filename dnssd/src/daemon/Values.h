#pragma once

// The values the daemon's methods and signals carry, as C++ types, and the
// D-Bus signature of a list of them, worked out at compile time. A message
// is read into these and nothing else: a type the backend never uses does
// not decode at all.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

namespace Zelm::DnsSd::Daemon {

// "o": the path of an object the daemon made.
struct ObjectPath {
    std::string path;
    bool operator==(const ObjectPath& other) const { return path == other.path; }
};

// "ay": raw bytes, such as a record's data.
struct Bytes {
    std::string data;
    bool operator==(const Bytes& other) const { return data == other.data; }
};

// "aay": the strings of a TXT record, each a byte array.
struct ByteStrings {
    std::vector<std::string> strings;
    bool operator==(const ByteStrings& other) const { return strings == other.strings; }
};

using Value = std::variant<int32_t, uint32_t, uint16_t, std::string, ObjectPath, Bytes, ByteStrings>;
using Values = std::vector<Value>;

template <typename T>
struct TypeCode;
template <>
struct TypeCode<int32_t> {
    static constexpr std::string_view code = "i";
};
template <>
struct TypeCode<uint32_t> {
    static constexpr std::string_view code = "u";
};
template <>
struct TypeCode<uint16_t> {
    static constexpr std::string_view code = "q";
};
template <>
struct TypeCode<std::string> {
    static constexpr std::string_view code = "s";
};
template <>
struct TypeCode<ObjectPath> {
    static constexpr std::string_view code = "o";
};
template <>
struct TypeCode<Bytes> {
    static constexpr std::string_view code = "ay";
};
template <>
struct TypeCode<ByteStrings> {
    static constexpr std::string_view code = "aay";
};

template <typename Tuple>
struct SignatureOf;

// The signature of a tuple of values, as a terminated character array.
template <typename... Ts>
struct SignatureOf<std::tuple<Ts...>> {
    static constexpr std::size_t kLength = (TypeCode<Ts>::code.size() + ... + 0);

    static constexpr std::array<char, kLength + 1> make() {
        std::array<char, kLength + 1> text{};
        std::size_t at = 0;
        for (std::string_view code : {std::string_view(), TypeCode<Ts>::code...}) {
            for (char c : code) {
                text[at++] = c;
            }
        }
        return text;
    }

    static constexpr std::array<char, kLength + 1> kText = make();
    static constexpr const char* text() { return kText.data(); }
};

}  // namespace Zelm::DnsSd::Daemon

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
#include <type_traits>
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

// A value type's code in a D-Bus signature: by its place among Value's types.
template <typename T, typename... Ts>
constexpr std::size_t placeIn(const std::variant<Ts...>*) {
    std::size_t place = 0;
    bool found = false;
    ((found = found || std::is_same_v<T, Ts>, place += found ? 0 : 1), ...);
    return place;
}
template <typename T>
constexpr std::string_view typeCode() {
    constexpr std::string_view codes[] = {"i", "u", "q", "s", "o", "ay", "aay"};
    static_assert(placeIn<T>(static_cast<const Value*>(nullptr)) < std::size(codes),
                  "not a daemon value type");
    return codes[placeIn<T>(static_cast<const Value*>(nullptr))];
}

template <typename Tuple>
struct SignatureOf;

// The signature of a tuple of values, as a terminated character array.
template <typename... Ts>
struct SignatureOf<std::tuple<Ts...>> {
    static constexpr std::size_t kLength = (typeCode<Ts>().size() + ... + 0);

    static constexpr std::array<char, kLength + 1> make() {
        std::array<char, kLength + 1> text{};
        std::size_t at = 0;
        for (std::string_view code : {std::string_view(), typeCode<Ts>()...}) {
            for (char c : code) {
                text[at++] = c;
            }
        }
        return text;
    }

    static constexpr std::array<char, kLength + 1> kText = make();
    static constexpr const char* text() { return kText.data(); }
};

static_assert(std::string_view(SignatureOf<std::tuple<int32_t, uint32_t, uint16_t, std::string, ObjectPath,
                                                      Bytes, ByteStrings>>::text()) == "iuqsoayaay",
              "each value type has its own code");

}  // namespace Zelm::DnsSd::Daemon

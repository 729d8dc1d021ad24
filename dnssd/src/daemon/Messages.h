#pragma once

// Requests to the daemon and what comes back, as values: built from the
// declarations in Protocol.h and read through them. A reader gives nothing
// unless the message is the declared one, with exactly the declared
// argument types, so no code ever reads an argument of another type.

#include "daemon/Protocol.h"

#include <dns_sd.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>

namespace Zelm::DnsSd::Daemon {

struct Request {
    Peer peer;
    std::string path;
    const char* interface;
    const char* member;
    Values arguments;
};

// The answer to a request: the values of a method return, or the error.
// `error` is never NoError for an error, a call that timed out, or a return
// whose values are not of the shape expected of a reply.
struct Reply {
    DNSServiceErrorType error = kDNSServiceErr_NoError;
    Values values;
};

// A signal as received, with the path it concerns. `from` is who sent it,
// checked against who currently owns the name, before anyone reads it.
struct Incoming {
    Peer from;
    const char* interface;
    const char* member;
    Values values;
};

template <typename Tuple, std::size_t... I>
std::optional<Tuple> unpackValues(const Values& values, std::index_sequence<I...>) {
    if (values.size() != sizeof...(I) ||
        !(std::holds_alternative<std::tuple_element_t<I, Tuple>>(values[I]) && ... && true)) {
        return std::nullopt;
    }
    return Tuple{std::get<std::tuple_element_t<I, Tuple>>(values[I])...};
}

// The values as the tuple's types, or nothing when they differ in number or type.
template <typename Tuple>
std::optional<Tuple> unpack(const Values& values) {
    return unpackValues<Tuple>(values, std::make_index_sequence<std::tuple_size_v<Tuple>>());
}

// A request of `method` to the object at `path`; the argument types must be
// the declared ones. `interface` names the object's own interface for the
// methods every object has.
template <typename In, typename Out, typename... Args>
Request request(const Method<In, Out>& method, std::string path, Args&&... arguments) {
    static_assert(std::is_constructible_v<In, Args&&...>, "arguments of another type than declared");
    Request built{method.peer, std::move(path), method.interface, method.member, {}};
    built.arguments.reserve(sizeof...(Args));
    std::apply([&built](auto&&... typed) { (built.arguments.emplace_back(std::move(typed)), ...); },
               In(std::forward<Args>(arguments)...));
    return built;
}

template <typename In, typename Out, typename... Args>
Request requestTo(const Method<In, Out>& method, std::string path, const char* objectInterface,
                  Args&&... arguments) {
    Request built = request(method, std::move(path), std::forward<Args>(arguments)...);
    if (built.interface == nullptr) {
        built.interface = objectInterface;
    }
    return built;
}

// The reply's values, or nothing when it is an error or not of the declared shape.
template <typename In, typename Out>
std::optional<Out> read(const Method<In, Out>&, const Reply& reply) {
    if (reply.error != kDNSServiceErr_NoError) {
        return std::nullopt;
    }
    return unpack<Out>(reply.values);
}

inline bool is(const char* a, const char* b) {
    return a != nullptr && b != nullptr && std::string_view(a) == b;
}

// The signal's arguments when it is `signal` from its declared sender, else nothing.
template <typename Args>
std::optional<Args> read(const Signal<Args>& signal, const Incoming& incoming) {
    if (incoming.from != signal.peer || !is(incoming.interface, signal.interface) ||
        !is(incoming.member, signal.member)) {
        return std::nullopt;
    }
    return unpack<Args>(incoming.values);
}

}  // namespace Zelm::DnsSd::Daemon

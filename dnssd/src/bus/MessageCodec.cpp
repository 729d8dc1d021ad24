#include "bus/MessageCodec.h"

#include <cstring>

namespace Zelm::DnsSd {

namespace {

bool appendBytes(DBusMessageIter& into, const std::string& bytes) {
    DBusMessageIter array = DBUS_MESSAGE_ITER_INIT_CLOSED;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (!dbus_message_iter_open_container(&into, DBUS_TYPE_ARRAY, "y", &array)) {
        return false;
    }
    if (!dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data,
                                              static_cast<int>(bytes.size())) ||
        !dbus_message_iter_close_container(&into, &array)) {
        dbus_message_iter_abandon_container_if_open(&into, &array);
        return false;
    }
    return true;
}

template <typename T>
bool appendBasic(DBusMessageIter& into, int type, const T& value) {
    return dbus_message_iter_append_basic(&into, type, &value) != FALSE;
}

bool appendValue(DBusMessageIter& into, const Daemon::Value& value) {
    if (const auto* number = std::get_if<int32_t>(&value)) {
        return appendBasic(into, DBUS_TYPE_INT32, *number);
    }
    if (const auto* number = std::get_if<uint32_t>(&value)) {
        return appendBasic(into, DBUS_TYPE_UINT32, *number);
    }
    if (const auto* number = std::get_if<uint16_t>(&value)) {
        return appendBasic(into, DBUS_TYPE_UINT16, *number);
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        return appendBasic(into, DBUS_TYPE_STRING, text->c_str());
    }
    if (const auto* path = std::get_if<Daemon::ObjectPath>(&value)) {
        return appendBasic(into, DBUS_TYPE_OBJECT_PATH, path->path.c_str());
    }
    if (const auto* bytes = std::get_if<Daemon::Bytes>(&value)) {
        return appendBytes(into, bytes->data);
    }
    const auto& strings = std::get<Daemon::ByteStrings>(value).strings;
    DBusMessageIter array = DBUS_MESSAGE_ITER_INIT_CLOSED;
    if (!dbus_message_iter_open_container(&into, DBUS_TYPE_ARRAY, "ay", &array)) {
        return false;
    }
    for (const std::string& text : strings) {
        if (!appendBytes(array, text)) {
            dbus_message_iter_abandon_container(&into, &array);
            return false;
        }
    }
    return dbus_message_iter_close_container(&into, &array) != FALSE;
}

// The iterator's array, when its signature is exactly `signature`.
bool isArrayOf(DBusMessageIter& at, const char* signature) {
    char* actual = dbus_message_iter_get_signature(&at);
    const bool same = actual != nullptr && std::strcmp(actual, signature) == 0;
    dbus_free(actual);
    return same;
}

std::string readBytes(DBusMessageIter& array) {
    DBusMessageIter bytes;
    dbus_message_iter_recurse(&array, &bytes);
    const char* data = nullptr;
    int size = 0;
    if (dbus_message_iter_get_arg_type(&bytes) == DBUS_TYPE_BYTE) {
        dbus_message_iter_get_fixed_array(&bytes, &data, &size);
    }
    return data != nullptr ? std::string(data, static_cast<size_t>(size)) : std::string();
}

template <typename T>
T basic(DBusMessageIter& at) {
    T value{};
    dbus_message_iter_get_basic(&at, &value);
    return value;
}

bool readValue(DBusMessageIter& at, Daemon::Values& values) {
    switch (dbus_message_iter_get_arg_type(&at)) {
        case DBUS_TYPE_INT32:
            values.emplace_back(basic<dbus_int32_t>(at));
            return true;
        case DBUS_TYPE_UINT32:
            values.emplace_back(basic<dbus_uint32_t>(at));
            return true;
        case DBUS_TYPE_UINT16:
            values.emplace_back(basic<dbus_uint16_t>(at));
            return true;
        case DBUS_TYPE_STRING:
            values.emplace_back(std::string(basic<const char*>(at)));
            return true;
        case DBUS_TYPE_OBJECT_PATH:
            values.emplace_back(Daemon::ObjectPath{basic<const char*>(at)});
            return true;
        case DBUS_TYPE_ARRAY:
            break;
        default:
            return false;
    }
    if (isArrayOf(at, "ay")) {
        values.emplace_back(Daemon::Bytes{readBytes(at)});
        return true;
    }
    if (!isArrayOf(at, "aay")) {
        return false;
    }
    Daemon::ByteStrings strings;
    DBusMessageIter array;
    dbus_message_iter_recurse(&at, &array);
    for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_ARRAY; dbus_message_iter_next(&array)) {
        strings.strings.push_back(readBytes(array));
    }
    values.emplace_back(std::move(strings));
    return true;
}

}  // namespace

Message encode(const Daemon::Request& request) {
    const bool toDaemon = request.peer == Daemon::Peer::Daemon;
    Message message(dbus_message_new_method_call(toDaemon ? Daemon::kService : Daemon::kBusService,
                                                 request.path.c_str(), request.interface, request.member));
    if (!message) {
        return message;
    }
    // A daemon that is not running is reported, not started.
    dbus_message_set_auto_start(message.get(), FALSE);
    DBusMessageIter arguments;
    dbus_message_iter_init_append(message.get(), &arguments);
    for (const Daemon::Value& value : request.arguments) {
        if (!appendValue(arguments, value)) {
            return nullptr;
        }
    }
    return message;
}

bool decode(DBusMessage* message, Daemon::Values& values) {
    DBusMessageIter at;
    if (!dbus_message_iter_init(message, &at)) {
        return true;  // no arguments
    }
    do {
        if (!readValue(at, values)) {
            return false;
        }
    } while (dbus_message_iter_next(&at));
    return true;
}

}  // namespace Zelm::DnsSd

// Messages off the bus, in any shape a stranger can send: read into the
// declared values or not at all, never into a value of another type.

#include <gtest/gtest.h>

#include "bus/MessageCodec.h"

namespace Zelm::DnsSd {
namespace {

using namespace Daemon;

// An ItemNew signal whose arguments `append` writes.
template <typename Append>
Message signal(Append append) {
    Message message(dbus_message_new_signal("/Client1/ServiceBrowser1", kServiceBrowser, "ItemNew"));
    DBusMessageIter at;
    dbus_message_iter_init_append(message.get(), &at);
    append(at);
    return message;
}

template <typename T>
void put(DBusMessageIter& at, int type, T value) {
    dbus_message_iter_append_basic(&at, type, &value);
}

void item(DBusMessageIter& at, const char* name) {
    put(at, DBUS_TYPE_INT32, 2);
    put(at, DBUS_TYPE_INT32, 0);
    for (const char* text : {name, "_http._tcp", "local"}) put(at, DBUS_TYPE_STRING, text);
    put(at, DBUS_TYPE_UINT32, 0u);
}

TEST(MessageCodec, ReadsOnlyTheDeclaredShape) {
    const struct {
        const char* what;
        Message message;
        bool decodes;
        bool reads;
    } rows[] = {
        {"well-formed", signal([](auto& at) { item(at, "A"); }), true, true},
        {"empty", signal([](auto&) {}), true, false},
        {"double first", signal([](auto& at) { put(at, DBUS_TYPE_DOUBLE, 1.5); }), false, false},
        {"string first", signal([](auto& at) {
             put(at, DBUS_TYPE_STRING, "2");
             item(at, "A");
         }),
         true, false},
        {"int array first", signal([](auto& at) {
             DBusMessageIter array;
             dbus_message_iter_open_container(&at, DBUS_TYPE_ARRAY, "i", &array);
             put(array, DBUS_TYPE_INT32, 2);
             dbus_message_iter_close_container(&at, &array);
         }),
         false, false},
    };
    for (const auto& row : rows) {
        Incoming incoming{Peer::Daemon, kServiceBrowser, "ItemNew", {}};
        const bool decoded = decode(row.message.get(), incoming.values);
        EXPECT_EQ(decoded, row.decodes) << row.what;
        const auto read = Daemon::read(kServiceNew, incoming);
        EXPECT_EQ(decoded && read.has_value(), row.reads) << row.what;
    }
}

}  // namespace
}  // namespace Zelm::DnsSd

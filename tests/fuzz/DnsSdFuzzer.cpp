// libFuzzer target for the backend's string handling: the name rules, label
// escaping and the TXT record conversions. The input is read as a C string
// argument (up to its first zero byte) and as TXT wire data.

#include "AvahiTxt.h"
#include "NameRules.h"
#include "ServiceNames.h"
#include "TxtRecord.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Zelm::DnsSd;

#define REQUIRE(condition)                                                       \
    do {                                                                         \
        if (!(condition)) {                                                      \
            std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                        \
        }                                                                        \
    } while (false)

namespace {

void checkText(const std::string& text) {
    // What the rules let through must never make libdbus abort the host.
    if (isValidUtf8(text)) {
        REQUIRE(dbus_validate_utf8(text.c_str(), nullptr));
    }
    std::vector<std::string> labels;
    if (parseDnsName(text, labels)) {
        std::string again;
        for (const std::string& label : labels) {
            again += escapeLabel(label) + '.';
        }
        std::vector<std::string> reparsed;
        REQUIRE(parseDnsName(again, reparsed) && reparsed == labels);
    }
    if (isValidInstanceName(text)) {
        REQUIRE(parseDnsName(escapeLabel(text), labels) && labels == std::vector<std::string>{text});
    }
    ServiceType type;
    if (parseServiceType(text.c_str(), type)) {
        REQUIRE(isValidUtf8(text) && isValidServiceType(type.type));
        serviceNamesFit(type.type, type, "local");
    }
}

void checkTxt(const std::string& bytes) {
    std::vector<std::string> strings;
    if (!parseTxtRecord(bytes.data(), bytes.size(), strings)) {
        return;
    }
    REQUIRE(bytes.empty() || txtRecordBytes(strings) == bytes);
    // The daemon reports a published list head first, which reverses it.
    bool ok = false;
    AvahiStringList* list = toPublishedList(strings, ok);
    REQUIRE(ok);
    std::vector<std::string> expected;
    std::copy_if(strings.rbegin(), strings.rend(), std::back_inserter(expected),
                 [](const std::string& text) { return !text.empty(); });
    REQUIRE(fromResolvedList(list) == expected);
    avahi_string_list_free(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    checkText(bytes.substr(0, bytes.find('\0')));
    checkTxt(bytes);
    return 0;
}

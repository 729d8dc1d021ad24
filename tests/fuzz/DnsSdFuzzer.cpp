// libFuzzer target for the backend's string handling: the name rules, label
// escaping and the TXT record conversions. The input is read as a C string
// argument (up to its first zero byte) and as TXT wire data.

#include "AvahiTxt.h"
#include "NameRules.h"
#include "ServiceNames.h"
#include "TxtRecord.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string>
#include <vector>

using namespace Zelm::DnsSd;

namespace {

void checkText(const std::string& text) {
    // What the rules let through must never make libdbus abort the host.
    if (isValidUtf8(text)) {
        assert(dbus_validate_utf8(text.c_str(), nullptr));
    }
    std::vector<std::string> labels;
    if (parseDnsName(text, labels)) {
        std::string again;
        for (const std::string& label : labels) {
            again += escapeLabel(label) + '.';
        }
        std::vector<std::string> reparsed;
        assert(parseDnsName(again, reparsed) && reparsed == labels);
    }
    if (isValidInstanceName(text)) {
        assert(parseDnsName(escapeLabel(text), labels) && labels == std::vector<std::string>{text});
    }
    ServiceType type;
    if (parseServiceType(text.c_str(), type)) {
        assert(isValidUtf8(text) && isValidServiceType(type.type));
        serviceNamesFit(type.type, type, "local");
    }
}

void checkTxt(const std::string& bytes) {
    std::vector<std::string> strings;
    if (!parseTxtRecord(bytes.data(), bytes.size(), strings)) {
        return;
    }
    assert(bytes.empty() || txtRecordBytes(strings) == bytes);
    // The daemon reports a published list head first, which reverses it.
    bool ok = false;
    AvahiStringList* list = toPublishedList(strings, ok);
    assert(ok);
    std::vector<std::string> expected;
    std::copy_if(strings.rbegin(), strings.rend(), std::back_inserter(expected),
                 [](const std::string& text) { return !text.empty(); });
    assert(fromResolvedList(list) == expected);
    avahi_string_list_free(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    checkText(bytes.substr(0, bytes.find('\0')));
    checkTxt(bytes);
    return 0;
}

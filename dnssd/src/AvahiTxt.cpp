#include "AvahiTxt.h"

namespace Zelm::DnsSd {

AvahiStringList* toPublishedList(const std::vector<std::string>& strings, bool& ok) {
    ok = true;
    AvahiStringList* list = nullptr;
    for (const std::string& text : strings) {
        if (text.empty()) {
            continue;
        }
        // Prepends: the last string ends up at the head.
        AvahiStringList* longer =
            avahi_string_list_add_arbitrary(list, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        if (longer == nullptr) {
            avahi_string_list_free(list);
            ok = false;
            return nullptr;
        }
        list = longer;
    }
    return list;
}

std::vector<std::string> fromResolvedList(const AvahiStringList* list) {
    std::vector<std::string> strings;
    for (const AvahiStringList* entry = list; entry != nullptr; entry = entry->next) {
        strings.emplace_back(reinterpret_cast<const char*>(entry->text), entry->size);
    }
    return strings;
}

}  // namespace Zelm::DnsSd

#pragma once

// The service names this process has registered. The daemon lets two
// registrations of one name coexist when their records are identical, and
// withdrawing either then announces the service's departure although the
// other still stands. Within the process a second registration of a name in
// use is treated as a conflict instead, as DNS-SD does.

#include <string>

namespace Zelm::DnsSd {

class LocalServiceNames {
public:
    // Claims name.type.domain (ASCII case ignored, empty domain = "local");
    // false when the process holds it already.
    static bool claim(const std::string& name, const std::string& type, const std::string& domain);
    static void release(const std::string& name, const std::string& type, const std::string& domain);

    // Held across fork(), so that the child finds the claims consistent.
    static void lockAll();
    static void unlockAll();
};

}  // namespace Zelm::DnsSd

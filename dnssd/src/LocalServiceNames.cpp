#include "LocalServiceNames.h"

#include <mutex>
#include <set>

namespace Zelm::DnsSd {

namespace {

struct Claims {
    std::mutex mutex;
    std::set<std::string> names;
};

// Never destroyed: registrations may outlive static destruction at exit.
Claims& claims() {
    static auto* instance = new Claims;
    return *instance;
}

std::string lowerAscii(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

std::string key(const std::string& name, const std::string& type, const std::string& domain) {
    // Newlines cannot occur in the daemon's type and domain names, so they
    // separate the parts unambiguously.
    return lowerAscii(type) + '\n' + lowerAscii(domain.empty() ? "local" : domain) + '\n' + lowerAscii(name);
}

}  // namespace

bool LocalServiceNames::claim(const std::string& name, const std::string& type, const std::string& domain) {
    Claims& c = claims();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.names.insert(key(name, type, domain)).second;
}

void LocalServiceNames::release(const std::string& name, const std::string& type, const std::string& domain) {
    Claims& c = claims();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.names.erase(key(name, type, domain));
}

}  // namespace Zelm::DnsSd

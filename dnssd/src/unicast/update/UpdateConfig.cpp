#include "unicast/update/UpdateConfig.h"

#include "names/ServiceNames.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace Zelm::DnsSd::Unicast::Update {

namespace {

// Larger than any sensible configuration; a bigger file is a mistake.
constexpr off_t kMaxConfigBytes = 64 * 1024;

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool endsWithDomain(const std::string& name, const std::string& domain) {
    if (domain.empty()) {
        return true;
    }
    if (name.size() < domain.size() ||
        ::strcasecmp(name.c_str() + name.size() - domain.size(), domain.c_str()) != 0) {
        return false;
    }
    return name.size() == domain.size() || name[name.size() - domain.size() - 1] == '.';
}

bool parseServer(const std::string& value, Server& server) {
    std::istringstream words(value);
    std::string port;
    if (!(words >> server.address)) {
        return false;
    }
    if (words >> port) {
        char* end = nullptr;
        const unsigned long number = std::strtoul(port.c_str(), &end, 10);
        if (*end != '\0' || number == 0 || number > 65535) {
            return false;
        }
        server.port = static_cast<std::uint16_t>(number);
    }
    return !(words >> port);
}

// The algorithm's name as TSIG spells it.
bool tsigAlgorithm(const std::string& value, std::string& algorithm) {
    for (const char* known : {"hmac-sha256", "hmac-sha384", "hmac-sha512"}) {
        if (::strcasecmp(withoutTrailingDot(value).c_str(), known) == 0) {
            algorithm = std::string(known) + ".";
            return true;
        }
    }
    return false;
}

bool setting(ZoneSettings& section, const std::string& name, const std::string& value) {
    Key& key = section.key ? *section.key : section.key.emplace();
    if (name == "server") {
        return parseServer(value, section.server.emplace());
    } else if (name == "key-name") {
        key.name = withTrailingDot(value);
    } else if (name == "algorithm") {
        return tsigAlgorithm(value, key.algorithm);
    } else if (name == "secret") {
        key.secret = value;
    } else if (name == "host-name") {
        section.hostName = value;
    } else {
        return false;
    }
    return !value.empty();
}

}  // namespace

std::string UpdateConfig::path() {
    const char* chosen = std::getenv(kUpdateConfigVariable);
    return chosen != nullptr && *chosen != '\0' ? chosen : kDefaultUpdateConfigPath;
}

UpdateConfig::Status UpdateConfig::load(const std::string& path, UpdateConfig& config, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) {
            return Status::Absent;
        }
        if (why != nullptr) {
            *why = path + ": cannot be opened";
        }
        return Status::Rejected;
    }
    struct stat about {};
    std::string text;
    bool safe = ::fstat(fd, &about) == 0 && S_ISREG(about.st_mode) && about.st_uid == 0 &&
                (about.st_mode & 077) == 0 && about.st_size <= kMaxConfigBytes;
    if (safe) {
        text.resize(static_cast<size_t>(about.st_size));
        safe = ::read(fd, text.data(), text.size()) == about.st_size;
    }
    ::close(fd);
    if (!safe) {
        if (why != nullptr) {
            *why = path + ": not a regular file of root's with mode 0600 or 0400";
        }
        return Status::Rejected;
    }
    return config.parse(text, why) ? Status::Usable : Status::Rejected;
}

bool UpdateConfig::parse(const std::string& text, std::string* why) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    ZoneSettings* section = nullptr;
    auto refuse = [&](const char* what) {
        if (why != nullptr) {
            *why = "line " + std::to_string(number) + ": " + what;
        }
        return false;
    };
    while (std::getline(lines, line)) {
        ++number;
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            std::string domain = withoutTrailingDot(trimmed(line.substr(1, line.size() - 2)));
            if (domain.empty()) {
                return refuse("a section without a name");
            }
            section = &sections_.emplace_back();
            section->domain = ::strcasecmp(domain.c_str(), "default") == 0 ? "" : domain;
            continue;
        }
        const size_t equals = line.find('=');
        if (section == nullptr || equals == std::string::npos) {
            return refuse("not a setting of a section");
        }
        if (!setting(*section, trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)))) {
            return refuse("an unknown setting or a bad value");
        }
    }
    for (ZoneSettings& each : sections_) {
        if (each.key && each.key->algorithm.empty()) {
            each.key->algorithm = "hmac-sha256.";
        }
        if (each.key && (each.key->name.empty() || each.key->secret.empty())) {
            if (each.key->name.empty() && each.key->secret.empty()) {
                each.key.reset();  // a section without a key: unsigned updates
                continue;
            }
            return refuse("a key needs both key-name and secret");
        }
    }
    return true;
}

const ZoneSettings* UpdateConfig::forDomain(const std::string& domain) const {
    const std::string name = withoutTrailingDot(domain);
    const ZoneSettings* best = nullptr;
    for (const ZoneSettings& section : sections_) {
        if (endsWithDomain(name, section.domain) &&
            (best == nullptr || section.domain.size() > best->domain.size())) {
            best = &section;
        }
    }
    return best;
}

}  // namespace Zelm::DnsSd::Unicast::Update

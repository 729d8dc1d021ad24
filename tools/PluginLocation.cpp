#include "PluginLocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace Zelm::Tool {

std::string choosePluginPath(const PluginSearch& search,
                             const std::function<bool(const std::string&)>& fileExists) {
    if (search.commandLinePath) {
        return asFilePath(*search.commandLinePath);
    }
    if (search.environmentPath && !search.environmentPath->empty()) {
        return asFilePath(*search.environmentPath);
    }
    const std::string installed = search.executableDirectory + "/" + search.installedRelativePath;
    if (fileExists(installed)) {
        return installed;
    }
    if (!search.buildTreePath.empty() && fileExists(search.buildTreePath)) {
        return search.buildTreePath;
    }
    return installed;
}

std::string asFilePath(const std::string& path) {
    if (path.empty() || path.find('/') != std::string::npos) {
        return path;
    }
    return "./" + path;
}

std::string executableDirectory() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return ".";
    }
    const std::string path(buffer, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

bool regularFileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace Zelm::Tool

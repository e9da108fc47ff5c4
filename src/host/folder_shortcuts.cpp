#include <unistd.h>

#include <algorithm>

#include "host/process.hpp"
#include "host/shortcuts.hpp"

namespace td::host {
namespace {

bool isSafeName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> listShortcuts(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (isSafeName(name) && isExecutableFile(entry.path())) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool runShortcut(const std::filesystem::path& folder, const std::string& name) {
    if (!isSafeName(name)) {
        return false;
    }
    const auto path = folder / name;
    return isExecutableFile(path) && startDetached(path.string(), {});
}

}  // namespace td::host

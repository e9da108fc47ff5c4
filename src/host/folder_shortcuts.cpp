#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/files.hpp"
#include "common/log.hpp"
#include "host/process.hpp"
#include "host/shortcuts.hpp"

namespace td::host {
namespace {

bool isSafeName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// An executable regular file (links followed) that only its owner, we or root, can change.
bool isOwnExecutable(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           (info.st_uid == ::geteuid() || info.st_uid == 0) &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && ::access(path.c_str(), X_OK) == 0;
}

bool isTrustedFolder(const std::filesystem::path& folder) {
    if (const auto reason = untrustedFolderReason(folder, "the Shortcuts folder")) {
        TD_LOG(tools, "no Shortcuts: " + *reason);
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> listShortcuts(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    if (!isTrustedFolder(folder)) {
        return names;
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (isSafeName(name) && isOwnExecutable(entry.path())) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool runShortcut(const std::filesystem::path& folder, const std::string& name) {
    if (!isSafeName(name) || !isTrustedFolder(folder)) {
        return false;
    }
    const auto path = folder / name;
    return isOwnExecutable(path) && startDetached(path.string(), {});
}

}  // namespace td::host

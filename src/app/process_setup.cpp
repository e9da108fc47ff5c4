#include "app/process_setup.hpp"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace td::app {

std::optional<std::string> supportFolderProblem(const std::filesystem::path& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return std::nullopt;
    }
    const std::string quoted = "\"" + folder.string() + "\"";
    if (!S_ISDIR(info.st_mode)) {
        return "the support folder " + quoted + " is not a folder";
    }
    if (info.st_uid != ::geteuid()) {
        return "the support folder " + quoted + " belongs to another user";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "other users can write to the support folder " + quoted +
               "; make it private with: chmod go-w " + folder.string();
    }
    return std::nullopt;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace td::app

#include "common/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/random.hpp"

namespace td {

std::optional<std::string> readWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string contents;
    char buffer[16384];
    bool failed = false;
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            failed = errno != EINTR;
            if (failed) {
                break;
            }
            continue;
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (failed) {
        return std::nullopt;
    }
    return contents;
}

namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool replaceFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
    const std::string temporary = path + ".tmp-" + randomHex(6);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    // The umask may have taken bits the mode needs (0277 leaves a file its owner cannot write
    // again) or, for a wider mode, the caller wants exactly what it asked for.
    const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool makePrivateFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder.parent_path(), ec);
    if (::mkdir(folder.c_str(), PRIVATE_FOLDER_MODE) != 0 && errno != EEXIST) {
        return false;
    }
    return ::chmod(folder.c_str(), PRIVATE_FOLDER_MODE) == 0;
}

std::optional<std::string> untrustedFolderReason(const std::filesystem::path& folder,
                                                 std::string_view what) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return std::nullopt;
    }
    const std::string named = std::string(what) + " \"" + folder.string() + "\"";
    if (!S_ISDIR(info.st_mode)) {
        return named + " is not a folder";
    }
    if (info.st_uid != ::geteuid()) {
        return named + " belongs to another user";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "other users can write to " + named + "; make it private with: chmod go-w " +
               folder.string();
    }
    return std::nullopt;
}

}  // namespace td

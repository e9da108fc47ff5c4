#include "server/static_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <boost/url/pct_string_view.hpp>
#include <climits>
#include <optional>
#include <string>
#include <utility>

namespace td::server {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 8> CONTENT_TYPES{{
    {"html", "text/html"},
    {"js", "text/javascript"},
    {"css", "text/css"},
    {"png", "image/png"},
    {"svg", "image/svg+xml"},
    {"json", "application/json"},
    {"webmanifest", "application/manifest+json"},
    {"ico", "image/x-icon"},
}};

// A segment decoded on its own, when it is a plain file or folder name.
std::optional<std::string> plainName(std::string_view encodedSegment) {
    const auto segment = boost::urls::make_pct_string_view(encodedSegment);
    if (!segment) {
        return std::nullopt;
    }
    std::string name = segment->decode();
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) {
        return std::nullopt;
    }
    return name;
}

// The file below the public folder that the path names, relative to it; nothing when a segment
// is not a plain name. "/" and "/admin" stand for the two pages.
std::optional<std::string> relativeFilePath(std::string_view encodedPath) {
    if (encodedPath == "/") {
        return "index.html";
    }
    if (!encodedPath.starts_with('/')) {
        return std::nullopt;
    }
    std::string relative;
    std::size_t start = 1;
    while (start <= encodedPath.size()) {
        const std::size_t end = std::min(encodedPath.find('/', start), encodedPath.size());
        const auto name = plainName(encodedPath.substr(start, end - start));
        if (!name) {
            return std::nullopt;
        }
        relative.append(relative.empty() ? "" : "/").append(*name);
        start = end + 1;
    }
    return relative == "admin" ? "admin.html" : relative;
}

// The real path of an open file, from the kernel's own record of it.
std::optional<std::string> realPathOf(int fd) {
    char link[PATH_MAX];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(proc.c_str(), link, sizeof link);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) {
        return std::nullopt;
    }
    return std::string(link, static_cast<std::size_t>(n));
}

struct FileRead {
    std::string contents;
    struct stat info {};
};

// The whole regular file at `relative` below `realFolder`, with what identifies it, or nothing
// (missing, a folder, a link that leads out of the folder, unreadable). O_NONBLOCK: opening a
// FIFO must not wait for a writer.
std::optional<FileRead> readRegularFileBelow(const std::string& realFolder,
                                             const std::string& relative) {
    const int fd = ::open((realFolder + "/" + relative).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<FileRead> contents;
    struct stat info {};
    const auto real = realPathOf(fd);
    if (real && real->starts_with(realFolder + "/") && ::fstat(fd, &info) == 0 &&
        S_ISREG(info.st_mode)) {
        std::string data(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        data.resize(got);
        contents = FileRead{std::move(data), info};
    }
    ::close(fd);
    return contents;
}

Response notFound() {
    return textResponse(404, "text/plain", "not found");
}

}  // namespace

std::string_view contentTypeFor(std::string_view fileName) {
    const std::size_t slash = fileName.rfind('/');
    const std::string_view last =
        slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    const std::size_t dot = last.rfind('.');
    if (dot != std::string_view::npos) {
        const std::string_view extension = last.substr(dot + 1);
        for (const auto& [known, type] : CONTENT_TYPES) {
            if (extension == known) {
                return type;
            }
        }
    }
    return "application/octet-stream";
}

namespace {

std::optional<std::string> realPathOf(const std::filesystem::path& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::optional<std::string>(real) : std::nullopt;
}

std::optional<FileRead> readPublicFile(const std::filesystem::path& publicDir,
                                       const std::string& relative) {
    const auto realFolder = realPathOf(publicDir);
    return realFolder ? readRegularFileBelow(*realFolder, relative) : std::nullopt;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

Response serveStatic(const std::filesystem::path& publicDir, std::string_view encodedPath) {
    const auto relative = relativeFilePath(encodedPath);
    auto file = relative ? readPublicFile(publicDir, *relative) : std::nullopt;
    if (!file) {
        return notFound();
    }
    return textResponse(200, contentTypeFor(*relative), std::move(file->contents));
}

StaticFiles::StaticFiles(std::filesystem::path publicDir) : publicDir_(std::move(publicDir)) {
    openFolder();
}

StaticFiles::~StaticFiles() {
    if (folder_ >= 0) {
        ::close(folder_);
    }
}

// The folder as it is now, held open: a kept file is looked up below it, one name to resolve
// rather than the whole path (links included) at every request.
void StaticFiles::openFolder() {
    const auto real = realPathOf(publicDir_);
    if (real == realFolder_ && folderStillThere()) {
        return;
    }
    if (folder_ >= 0) {
        ::close(folder_);
    }
    realFolder_ = real;
    folder_ = real ? ::open(real->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
    if (folder_ < 0 || ::fstat(folder_, &folderInfo_) != 0) {
        folderInfo_ = {};
    }
    kept_.clear();  // they were found below another folder
    keptBytes_ = 0;
}

// The folder held open is still the one its path names (not renamed away and replaced).
bool StaticFiles::folderStillThere() const {
    struct stat now {};
    return folder_ >= 0 && ::stat(publicDir_.c_str(), &now) == 0 &&
           now.st_dev == folderInfo_.st_dev && now.st_ino == folderInfo_.st_ino;
}

std::shared_ptr<const std::string> StaticFiles::answer(std::string_view encodedPath) {
    const auto relative = relativeFilePath(encodedPath);
    if (!relative) {
        return std::make_shared<const std::string>(serialize(notFound()));
    }
    // A file read before is still the one on disk when its identity is: then it was found
    // below the folder, and its answer stands. Anything else takes the whole way again.
    std::lock_guard lock(mutex_);
    struct stat now {};
    const auto kept = kept_.find(*relative);
    if (kept != kept_.end() && folderStillThere() &&
        ::fstatat(folder_, relative->c_str(), &now, 0) == 0 && sameFile(kept->second.info, now)) {
        return kept->second.bytes;
    }
    openFolder();  // it may have been replaced (an upgrade, a link pointed elsewhere)
    auto file = realFolder_ ? readRegularFileBelow(*realFolder_, *relative) : std::nullopt;
    if (!file) {
        return std::make_shared<const std::string>(serialize(notFound()));
    }
    auto bytes = std::make_shared<const std::string>(
        serialize(textResponse(200, contentTypeFor(*relative), std::move(file->contents))));
    if (const auto old = kept_.find(*relative); old != kept_.end()) {
        keptBytes_ -= old->second.bytes->size();
        kept_.erase(old);
    }
    if (kept_.size() < MAX_KEPT_FILES && keptBytes_ + bytes->size() <= MAX_KEPT_BYTES) {
        keptBytes_ += bytes->size();
        kept_.emplace(*relative, Kept{file->info, bytes});
    }
    return bytes;
}

}  // namespace td::server

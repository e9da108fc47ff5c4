#include "server/static_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <optional>
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

std::string_view resolveAlias(std::string_view path) {
    if (path == "/") {
        return "/index.html";
    }
    if (path == "/admin") {
        return "/admin.html";
    }
    return path;
}

bool leavesPublicFolder(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The whole regular file, or nothing (missing, a folder, unreadable).
std::optional<std::string> readRegularFile(const std::string& fullPath) {
    const int fd = ::open(fullPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::string> contents;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
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
        contents = std::move(data);
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

Response serveStatic(const std::filesystem::path& publicDir, std::string_view path) {
    const std::string_view filePath = resolveAlias(path);
    // Joined as a path below the folder: "-secret.txt" glued to "public" would name a sibling.
    if (!filePath.starts_with('/') || leavesPublicFolder(filePath) ||
        filePath.find('\0') != std::string_view::npos) {
        return notFound();
    }
    const std::string fullPath = (publicDir / filePath.substr(1)).string();
    auto contents = readRegularFile(fullPath);
    if (!contents) {
        return notFound();
    }
    return textResponse(200, contentTypeFor(fullPath), std::move(*contents));
}

}  // namespace td::server

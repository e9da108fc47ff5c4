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

// The whole regular file at `relative` below `realFolder`, or nothing (missing, a folder, a
// link that leads out of the folder, unreadable). O_NONBLOCK: opening a FIFO must not wait for
// a writer.
std::optional<std::string> readRegularFileBelow(const std::string& realFolder,
                                                const std::string& relative) {
    const int fd = ::open((realFolder + "/" + relative).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::string> contents;
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

Response serveStatic(const std::filesystem::path& publicDir, std::string_view encodedPath) {
    const auto relative = relativeFilePath(encodedPath);
    char realFolder[PATH_MAX];
    if (!relative || !::realpath(publicDir.c_str(), realFolder)) {
        return notFound();
    }
    auto contents = readRegularFileBelow(realFolder, *relative);
    if (!contents) {
        return notFound();
    }
    return textResponse(200, contentTypeFor(*relative), std::move(*contents));
}

}  // namespace td::server

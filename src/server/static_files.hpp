#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "server/response.hpp"

namespace td::server {

// The content type for a file name, by its extension (case-sensitive); octet-stream otherwise.
std::string_view contentTypeFor(std::string_view fileName);

// The file of the public folder that a request path names, as sent (percent-encoded): "/" is
// index.html, "/admin" is admin.html. Each segment is decoded on its own and must be a plain
// name (not empty, `.` or `..`, with no `/`, `\` or NUL), and the file opened must lie below
// the folder's real path, links followed. Anything else, folders and unreadable files are all
// the same 404 "not found". Nothing is cached: each call reads the file anew.
Response serveStatic(const std::filesystem::path& publicDir, std::string_view encodedPath);

// The same answers, as the bytes to send, kept between requests: a file read before is answered
// again, at the cost of one stat, for as long as it is the same file (device, inode, size, times)
// as when it was read and found below the folder.
class StaticFiles {
  public:
    static constexpr std::size_t MAX_KEPT_FILES = 64;
    static constexpr std::size_t MAX_KEPT_BYTES = 16 * 1024 * 1024;

    explicit StaticFiles(std::filesystem::path publicDir);
    ~StaticFiles();
    StaticFiles(const StaticFiles&) = delete;
    StaticFiles& operator=(const StaticFiles&) = delete;

    std::shared_ptr<const std::string> answer(std::string_view encodedPath);

  private:
    void openFolder();
    bool folderStillThere() const;

    struct Kept {
        struct stat info;
        std::shared_ptr<const std::string> bytes;
    };

    const std::filesystem::path publicDir_;
    std::mutex mutex_;  // guards everything below; held while a file is read (they are small)
    std::optional<std::string> realFolder_;
    int folder_ = -1;
    struct stat folderInfo_ {};  // of `folder_`: a folder renamed away is not this one
    std::map<std::string, Kept, std::less<>> kept_;
    std::size_t keptBytes_ = 0;
};

}  // namespace td::server

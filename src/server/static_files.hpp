#pragma once

#include <filesystem>
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

}  // namespace td::server

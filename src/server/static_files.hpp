#pragma once

#include <filesystem>
#include <string_view>

#include "server/response.hpp"

namespace td::server {

// The content type for a file name, by its extension (case-sensitive); octet-stream otherwise.
std::string_view contentTypeFor(std::string_view fileName);

// The file of the public folder that a decoded request path names: "/" is index.html, "/admin"
// is admin.html. Paths with a `..` segment or a NUL byte, folders and unreadable files are all
// the same 404 "not found". Nothing is cached: each call reads the file anew.
Response serveStatic(const std::filesystem::path& publicDir, std::string_view path);

}  // namespace td::server

#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "net/https_client.hpp"

namespace td::api {

// Artwork is shown on a phone: a picture of reasonable size, nothing else.
inline constexpr std::size_t MAX_ART_BYTES = 2 * 1024 * 1024;

struct Artwork {
    std::string contentType;
    std::string bytes;
};

// The image type the bytes begin with (PNG, JPEG, GIF or WebP); nothing for anything else,
// whatever a file name or a server's header claims.
std::optional<std::string> imageTypeOf(std::string_view bytes);

// The artwork a player names, by its address: a file:// of the user's own (a regular file the
// user owns) or an https:// one fetched through the verifying client. Kept per address, the
// last few, so that every phone showing one track costs one fetch.
class ArtCache {
  public:
    std::optional<Artwork> artwork(const std::string& url, net::HttpsClient& https);

  private:
    std::optional<Artwork> fetch(const std::string& url, net::HttpsClient& https) const;

    std::mutex mutex_;
    std::deque<std::pair<std::string, Artwork>> kept_;  // guarded by mutex_, newest first
};

}  // namespace td::api

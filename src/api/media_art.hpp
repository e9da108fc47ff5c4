#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <future>
#include <map>
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
// user owns, read each time) or an https:// one fetched through the verifying client. Fetched
// art is kept per address, the last few, so that every phone showing one track costs one
// fetch: phones asking at once share it, a failure is remembered for a minute, and a few
// fetches at most run at once (`busy` past them).
class ArtCache {
  public:
    struct Answer {
        std::optional<Artwork> art;
        bool busy = false;
    };
    Answer artwork(const std::string& url, net::HttpsClient& https);

  private:
    using Fetch = std::shared_future<std::optional<Artwork>>;

    std::mutex mutex_;
    // All guarded by mutex_:
    std::deque<std::pair<std::string, Artwork>> kept_;  // newest first
    std::deque<std::pair<std::string, std::chrono::steady_clock::time_point>> failed_;
    std::map<std::string, Fetch> fetching_;
};

}  // namespace td::api

#include "api/media_art.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/url/parse.hpp>
#include <future>

#include "common/log.hpp"
#include "common/web_url.hpp"

namespace td::api {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t KEPT_ARTWORKS = 6;
constexpr std::size_t KEPT_FAILURES = 64;
constexpr std::size_t FETCHES_AT_ONCE = 4;
constexpr auto FAILURE_KEPT = 1min;
constexpr auto FETCH_TIMEOUT = 10s;

// The local path a file:// address names: on this machine (no host, or localhost), absolute,
// with no NUL once decoded.
std::optional<std::string> localPath(const std::string& url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed || parsed->scheme_id() != boost::urls::scheme::file) {
        return std::nullopt;
    }
    const std::string host = parsed->host();
    std::string path = parsed->path();
    if ((!host.empty() && host != "localhost") || !path.starts_with('/') ||
        path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return path;
}

// A regular file the user owns, small enough to be a picture; never waits on a pipe or device.
std::optional<std::string> readOwnFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::optional<std::string> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        static_cast<std::size_t>(info.st_size) <= MAX_ART_BYTES) {
        std::string content(static_cast<std::size_t>(info.st_size), '\0');
        const ssize_t got = ::read(fd, content.data(), content.size());
        if (got == static_cast<ssize_t>(content.size())) {
            bytes = std::move(content);
        }
    }
    ::close(fd);
    return bytes;
}

std::optional<std::string> download(const std::string& url, net::HttpsClient& https) {
    net::HttpRequest request;
    request.url = url;
    request.timeout = FETCH_TIMEOUT;
    request.maxAnswerBytes = MAX_ART_BYTES;
    request.headers = {{"Accept", "image/*"}};
    auto answer = std::make_shared<std::promise<net::HttpResponse>>();
    auto future = answer->get_future();
    https.send(std::move(request),
               [answer](net::HttpResponse response) { answer->set_value(std::move(response)); });
    // The client ends every request within its timeout, unless it stops first.
    if (future.wait_for(FETCH_TIMEOUT + 2s) != std::future_status::ready) {
        return std::nullopt;
    }
    net::HttpResponse response;
    try {
        response = future.get();
    } catch (const std::future_error&) {  // the client stopped and dropped the request
        return std::nullopt;
    }
    if (!response.delivered || response.status != 200) {
        TD_LOG(media, "artwork not fetched: " +
                          (response.delivered ? std::to_string(response.status) : response.error));
        return std::nullopt;
    }
    return std::move(response.body);
}

}  // namespace

std::optional<std::string> imageTypeOf(std::string_view bytes) {
    if (bytes.starts_with("\x89PNG\r\n\x1a\n")) {
        return "image/png";
    }
    if (bytes.starts_with("\xFF\xD8\xFF")) {
        return "image/jpeg";
    }
    if (bytes.starts_with("GIF87a") || bytes.starts_with("GIF89a")) {
        return "image/gif";
    }
    if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP") {
        return "image/webp";
    }
    return std::nullopt;
}

static std::optional<Artwork> pictureOf(std::optional<std::string> bytes) {
    const auto type = bytes ? imageTypeOf(*bytes) : std::nullopt;
    if (!type || bytes->size() > MAX_ART_BYTES) {
        TD_LOG(media, "artwork refused: not a picture of the user's own or from https");
        return std::nullopt;
    }
    return Artwork{*type, std::move(*bytes)};
}

ArtCache::Answer ArtCache::artwork(const std::string& url, net::HttpsClient& https) {
    if (const auto path = localPath(url)) {
        return {pictureOf(readOwnFile(*path))};
    }
    if (!isHttpsUrl(url)) {
        return {};
    }
    std::promise<std::optional<Artwork>> promise;
    Fetch earlier;
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(failed_,
                      [now](const auto& entry) { return now - entry.second > FAILURE_KEPT; });
        for (const auto& [address, art] : kept_) {
            if (address == url) {
                return {art};
            }
        }
        if (std::any_of(failed_.begin(), failed_.end(),
                        [&url](const auto& entry) { return entry.first == url; })) {
            return {};
        }
        if (const auto it = fetching_.find(url); it != fetching_.end()) {
            earlier = it->second;
        } else if (fetching_.size() >= FETCHES_AT_ONCE) {
            return {std::nullopt, true};
        } else {
            fetching_.emplace(url, promise.get_future().share());
        }
    }
    if (earlier.valid()) {
        return {earlier.get()};  // the phone that asked first fetches it for both
    }
    auto art = pictureOf(download(url, https));
    {
        std::lock_guard lock(mutex_);
        fetching_.erase(url);
        if (art) {
            kept_.emplace_front(url, *art);
            if (kept_.size() > KEPT_ARTWORKS) {
                kept_.pop_back();
            }
        } else {
            failed_.emplace_back(url, std::chrono::steady_clock::now());
            if (failed_.size() > KEPT_FAILURES) {
                failed_.pop_front();
            }
        }
    }
    promise.set_value(art);
    return {std::move(art)};
}

}  // namespace td::api

#include "update/update_check.hpp"

#include <boost/url/parse.hpp>
#include <charconv>
#include <vector>

#include "common/json.hpp"
#include "common/json_read.hpp"
#include "common/web_url.hpp"

namespace td::update {
namespace {

// A piece of a version: an optional sign, then digits only, within 64 bits; anything else is 0.
std::int64_t pieceValue(std::string_view piece) {
    std::string_view digits = piece;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return 0;
    }
    if (!piece.empty() && piece.front() == '+') {
        piece.remove_prefix(1);
    }
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    return ec == std::errc{} && end == piece.data() + piece.size() ? value : 0;
}

std::vector<std::int64_t> pieces(std::string_view version) {
    std::vector<std::int64_t> out;
    std::size_t start = 0;
    while (start <= version.size()) {
        const std::size_t end = std::min(version.find('.', start), version.size());
        if (end > start) {
            out.push_back(pieceValue(version.substr(start, end - start)));
        }
        start = end + 1;
    }
    return out;
}

}  // namespace

bool versionIsNewer(std::string_view candidate, std::string_view reference) {
    const auto a = pieces(candidate);
    const auto b = pieces(reference);
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::int64_t x = i < a.size() ? a[i] : 0;
        const std::int64_t y = i < b.size() ? b[i] : 0;
        if (x != y) {
            return x > y;
        }
    }
    return false;
}

std::optional<UpdateInfo> interpretManifest(std::string_view body, std::string_view running) {
    const auto manifest = parseJson(body);
    if (!manifest || !manifest->is_object()) {
        return std::nullopt;
    }
    const auto version = jsonread::string(*manifest, "version");
    const auto url = jsonread::string(*manifest, "url");
    if (!version || !url || !isHttpsUrl(*url) || !versionIsNewer(*version, running)) {
        return std::nullopt;
    }
    return UpdateInfo{*version, *url, jsonread::string(*manifest, "notes").value_or("")};
}

}  // namespace td::update

#include "common/log.hpp"
#include "common/web_url.hpp"
#include "update/version.hpp"

namespace td::update {
namespace {
constexpr auto MANIFEST_TIMEOUT = std::chrono::seconds(10);
}  // namespace

void checkForUpdate(net::HttpsClient& client, const RemoteEndpoint& manifest,
                    std::function<void(std::function<void()>)> onMain,
                    std::function<void(std::optional<UpdateInfo>)> completion) {
    net::HttpRequest request;
    request.url = manifest.url;
    request.headers = {{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}};
    request.timeout = MANIFEST_TIMEOUT;
    request.allowPlainHttp = manifest.allowPlainHttp;
    client.send(
        std::move(request), [onMain = std::move(onMain),
                             completion = std::move(completion)](net::HttpResponse response) {
            std::optional<UpdateInfo> update;
            if (response.delivered) {  // the status is not looked at: whatever body came is read
                update = interpretManifest(response.body, currentVersion());
                if (!update) {
                    TD_LOG(update, "the manifest offers no newer version");
                }
            } else {
                TD_LOG(update, "no manifest: " + response.error);
            }
            onMain([completion, update] { completion(update); });
        });
}

}  // namespace td::update

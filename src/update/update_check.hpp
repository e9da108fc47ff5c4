#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace td::update {

// A published version newer than the running one.
struct UpdateInfo {
    std::string version;
    std::string url;  // always https
    std::string notes;
};

// True when `candidate` is strictly newer than `reference`: dot-separated pieces compared as
// signed numbers, a missing piece counting as 0 and a piece that is not a plain number as 0.
bool versionIsNewer(std::string_view candidate, std::string_view reference);

// What a manifest body offers against the running version: an update only for a JSON object
// with a string "version" newer than `running` and a string "url" whose scheme is exactly https.
std::optional<UpdateInfo> interpretManifest(std::string_view body, std::string_view running);

}  // namespace td::update

#include <functional>

#include "common/settings.hpp"
#include "net/https_client.hpp"

namespace td::update {

// Fetches the manifest (10 s at most) and calls `completion` exactly once, through `onMain`,
// with an update or with nothing (also on every failure), unless the client stops first.
void checkForUpdate(net::HttpsClient& client, const RemoteEndpoint& manifest,
                    std::function<void(std::function<void()>)> onMain,
                    std::function<void(std::optional<UpdateInfo>)> completion);

}  // namespace td::update

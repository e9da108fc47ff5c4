#include <algorithm>
#include <cstdio>
#include <functional>

#include "api/handlers.hpp"
#include "common/json_read.hpp"
#include "host/media.hpp"

namespace td::api::handlers {
namespace {

Json orNull(const std::optional<double>& seconds) {
    return seconds ? Json(*seconds) : Json(nullptr);
}

// The agent's address for a player's artwork; it changes with the art, so a phone keeps each.
Json artAddress(const host::PlayerState& player) {
    if (player.artUrl.empty()) {
        return nullptr;
    }
    char version[17];
    std::snprintf(version, sizeof version, "%016zx", std::hash<std::string>{}(player.artUrl));
    return "/api/media/art?player=" + player.id + "&v=" + version;
}

std::vector<host::PlayerState> currentPlayers(const ApiContext& context, bool positions) {
    return context.liveState ? context.liveState->players(positions)
                             : std::vector<host::PlayerState>{};
}

Response noSuchPlayer() {
    return server::jsonResponse({{"ok", false}, {"error", "No such player"}}, 404);
}

}  // namespace

Json playerJson(const host::PlayerState& player) {
    return {{"id", player.id},
            {"name", player.name},
            {"status", player.status.empty() ? "Stopped" : player.status},
            {"title", player.title},
            {"artist", player.artist},
            {"album", player.album},
            {"length", orNull(player.length)},
            {"position", orNull(player.position)},
            {"art", artAddress(player)}};
}

std::string mediaStateMessage(const std::optional<host::PlayerState>& active) {
    const Json media = active ? playerJson(*active) : Json(nullptr);
    return "event: state\ndata: " + dumpCompact(Json{{"media", media}}) + "\n\n";
}

std::string volumeStateMessage(const host::VolumeState& volume) {
    const Json state = {{"volume", {{"level", volume.level}, {"muted", volume.muted}}}};
    return "event: state\ndata: " + dumpCompact(state) + "\n\n";
}

Response nowPlaying(const ApiContext& context, const Request&) {
    Json players = Json::array();
    for (const auto& player : currentPlayers(context, true)) {
        players.push_back(playerJson(player));
    }
    const auto active = context.liveState ? context.liveState->activePlayer() : std::nullopt;
    return server::jsonResponse(
        {{"ok", true}, {"active", active ? Json(*active) : Json(nullptr)}, {"players", players}});
}

Response mediaArt(const ApiContext& context, const Request& request) {
    const auto wanted = request.query.find("player");
    const auto players = currentPlayers(context, false);
    const auto player = std::find_if(players.begin(), players.end(), [&](const auto& p) {
        return wanted != request.query.end() && p.id == wanted->second;
    });
    if (player == players.end() || player->artUrl.empty()) {
        return server::textResponse(404, "text/plain", "");
    }
    auto answer = context.art->artwork(player->artUrl, context.https);
    if (!answer.art) {
        return server::textResponse(answer.busy ? 503 : 404, "text/plain", "");
    }
    // Only our own pages may show it: no other site's <img> learns whether something plays.
    return {
        200, answer.art->contentType, std::move(answer.art->bytes),
        "Cache-Control: private, max-age=3600\r\nCross-Origin-Resource-Policy: same-origin\r\n"};
}

Response media(const ApiContext& context, const Request& request) {
    const UntrustedJson body = server::bodyJSON(request);
    std::string target;
    if (body.contains("player")) {
        const auto named = jsonread::string(body, "player");
        const auto players = currentPlayers(context, false);
        if (!named || std::none_of(players.begin(), players.end(),
                                   [&](const auto& p) { return p.id == *named; })) {
            return noSuchPlayer();
        }
        target = *named;
    } else if (context.liveState) {
        target = context.liveState->activePlayer().value_or("");
    }
    const bool ok = host::mediaAction(jsonread::string(body, "action").value_or(""), target);
    return server::jsonResponse({{"ok", ok}});
}

}  // namespace td::api::handlers

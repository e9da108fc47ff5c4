#include <cmath>

#include "api/handlers.hpp"
#include "common/json_read.hpp"
#include "common/log.hpp"
#include "flows/steps.hpp"
#include "host/media.hpp"
#include "host/process.hpp"
#include "host/shortcuts.hpp"
#include "host/volume.hpp"

namespace td::api::handlers {
namespace {

constexpr std::string_view TILES_PATH = "/api/tiles/";
constexpr std::string_view RUN_SUFFIX = "/run";
// A tap's Shortcut runs on its own: its tile's poller reads what it did a moment later.
constexpr auto READ_AFTER_TAP = std::chrono::seconds(1);
// A push is a handful of members.
constexpr std::size_t MAX_PUSH_VALUES = 16;

Response refused(const std::string& why, int status = 400) {
    return server::jsonResponse({{"ok", false}, {"error", why}}, status);
}

Response noSuchTile() {
    return refused("No tile has this id", 404);
}

Response pushState(const ApiContext& context, const std::string& id, const Request& request) {
    const auto body = parseJson(request.body, MAX_PUSH_VALUES);
    if (!body) {
        return refused("A tile's state is a JSON object");
    }
    auto change = tiles::readTileChange(*body);
    if (auto* why = std::get_if<std::string>(&change)) {
        return refused(*why);
    }
    switch (context.tiles->apply(id, std::get<tiles::TileChange>(change))) {
        case tiles::TileBoard::Outcome::unknownTile:
            return noSuchTile();
        case tiles::TileBoard::Outcome::full:
            return refused("The tiles hold 512 KiB of state already: clear some icons first", 413);
        default:
            return server::jsonResponse({{"ok", true}});
    }
}

tiles::TileChange stateChange(std::string_view key, Json value) {
    tiles::TileChange change;
    change.set.emplace(std::string(key), std::move(value));
    return change;
}

std::vector<UntrustedJson> stepsIn(const Json& tile, std::string_view key) {
    return flows::readSteps(UntrustedJson(Json{{"steps", tile.value(std::string(key), Json())}}));
}

// A tile that nothing outside the agent reports on shows what its last tap made of it.
bool fedFromOutside(const Json& tile) {
    return tile.contains("watch") || tile.contains("source");
}

Response runToggle(const ApiContext& context, const std::string& id, const Json& tile) {
    const bool on = context.tiles->stateOf(id).value("state", "") == "on";
    const auto steps = stepsIn(tile, on ? "off" : "on");
    const std::string source = jsonread::string(tile, "source").value_or("");
    Response answer = server::jsonResponse({{"ok", true}});
    if (!steps.empty()) {
        answer = runSteps(context, steps);
    } else if (source == "mute") {
        answer = server::jsonResponse({{"ok", host::setMuted(!on)}});
    } else if (source == "playing") {
        answer = server::jsonResponse({{"ok", host::mediaAction("playpause")}});
    }
    if (answer.status == 200 && !fedFromOutside(tile)) {
        context.tiles->apply(id, stateChange("state", on ? "off" : "on"));
    }
    return answer;
}

void runSliderShortcut(const std::filesystem::path& folder, const std::string& id,
                       const std::string& name, int level) {
    const auto result =
        host::runProcess((folder / name).string(), {std::to_string(level)}, {"TD_TILE=" + id});
    if (result.status != 0) {
        TD_LOG(tools, "tile " + id + ": " + name + " failed (status " +
                          std::to_string(result.status) + ")");
    }
}

Response runSlider(const ApiContext& context, const std::string& id, const Json& tile,
                   const UntrustedJson& body) {
    const auto asked = jsonread::number(body, "level");
    const auto bound = [&tile](const char* key, double fallback) {
        return std::clamp(jsonread::number(tile, key).value_or(fallback), 0.0, 100.0);
    };
    const double low = bound("min", 0);
    const double high = std::max(low, bound("max", 100));
    const double step = std::max(1.0, jsonread::number(tile, "step").value_or(1));
    if (!asked || !std::isfinite(*asked)) {
        return refused("A slider's run needs {\"level\": N}");
    }
    const double snapped = low + std::round((std::clamp(*asked, low, high) - low) / step) * step;
    const int level = static_cast<int>(std::lround(std::clamp(snapped, low, high)));
    context.tiles->apply(id, stateChange("level", level));  // every phone's slider follows
    const std::string name = jsonread::string(tile, "set").value_or("");
    if (name.empty()) {
        return server::jsonResponse({{"ok", true}});
    }
    const auto names = host::listShortcuts(shortcutsFolder(context));
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        return refused("There is no Shortcut named \"" + name + "\"");
    }
    // Started as a Shortcut tile's is: the answer does not wait for it.
    context.sliderRuns->submit(id, level, [folder = shortcutsFolder(context), id, name](int value) {
        runSliderShortcut(folder, id, name, value);
    });
    return server::jsonResponse({{"ok", true}});
}

Response runTile(const ApiContext& context, const std::string& id, const Request& request) {
    const auto tile = context.tiles->tile(id);
    if (!tile) {
        return noSuchTile();
    }
    const auto body = parseJson(request.body.empty() ? "{}" : request.body, MAX_PUSH_VALUES);
    if (!body || !body->is_object()) {
        return refused("A tile's run takes {} or {\"level\": N}");
    }
    const std::string type = jsonread::string(*tile, "type").value_or("");
    Response answer = refused("A " + type + " tile does nothing from here");
    if (type == "toggle") {
        answer = runToggle(context, id, *tile);
    } else if (type == "slider") {
        answer = runSlider(context, id, *tile, *body);
    } else if (type == "status") {
        if (const auto* run = jsonread::member(*tile, "run"); run && run->is_object()) {
            answer = runSteps(context, {UntrustedJson(*run)}, false);
        } else {
            answer = refused("This status tile does nothing when tapped");
        }
    } else if (type == "flow") {
        answer = runSteps(context, stepsIn(*tile, "steps"));
    } else if (stepHost(context).kinds.count(type)) {
        answer = runSteps(
            context, {UntrustedJson({{"type", type}, {"value", tile->value("value", Json(""))}})},
            false);
    }
    if (context.tileSources && answer.status == 200) {
        context.tileSources->pollSoon(id, READ_AFTER_TAP);
    }
    return answer;
}

}  // namespace

Response readTiles(const ApiContext& context, const Request&) {
    return server::jsonResponse(
        {{"ok", true}, {"tiles", context.tiles ? context.tiles->states() : Json::object()}});
}

Response tileRequest(const ApiContext& context, const Request& request) {
    std::string_view rest = std::string_view(request.path).substr(TILES_PATH.size());
    const bool run = rest.ends_with(RUN_SUFFIX);
    if (run) {
        rest.remove_suffix(RUN_SUFFIX.size());
    }
    const std::string id(rest);
    if (!context.tiles || !tiles::isTileId(id)) {
        return noSuchTile();
    }
    return run ? runTile(context, id, request) : pushState(context, id, request);
}

}  // namespace td::api::handlers

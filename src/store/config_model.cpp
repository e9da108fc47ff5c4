#include "store/config_model.hpp"

#include <algorithm>

#include "common/json_read.hpp"

namespace td::store {
namespace {

bool hasNonEmptyPages(const Json& document) {
    const Json* pages = jsonread::member(document, "pages");
    return pages && pages->is_array() && !pages->empty();
}

bool isFlowsPage(const Json& page) {
    return jsonread::string(page, "name") == std::string(FLOWS_PAGE);
}

// The page's tiles as a list to edit; anything but an array starts empty.
Json& tilesOf(Json& page) {
    Json& tiles = page["tiles"];
    if (!tiles.is_array()) {
        tiles = Json::array();
    }
    return tiles;
}

}  // namespace

Json defaultSettings() {
    return Json{{"columns", 4}, {"iconScale", 1.12}, {"labels", true}};
}

Json builtInDefaultConfig() {
    return Json{{"pages", Json::array({Json{{"name", "Apps"},
                                            {"icon", "\xF0\x9F\x9A\x80"},  // 🚀
                                            {"tiles", Json::array()}}})},
                {"settings", defaultSettings()}};
}

Json sanitize(Json document) {
    if (!document.is_object()) {
        document = Json::object();
    }
    if (const Json* inner = jsonread::member(document, "config");
        inner && inner->is_object() && hasNonEmptyPages(*inner) && !hasNonEmptyPages(document)) {
        Json unwrapped = *inner;
        document = std::move(unwrapped);
    }
    document.erase("config");
    if (const Json* pages = jsonread::member(document, "pages"); !pages || !pages->is_array()) {
        document["pages"] = Json::array();
    }
    if (const Json* settings = jsonread::member(document, "settings");
        !settings || !settings->is_object()) {
        document["settings"] = defaultSettings();
    }
    return document;
}

bool fitsTheStore(const Json& config) {
    const std::string text = dumpCompact(config);
    return text.size() <= MAX_CONFIG_BYTES && shapeOf(text) == JsonShape::fits;
}

std::set<std::string> allowedAppsIn(const Json& config) {
    std::set<std::string> apps;
    const auto pages = jsonread::objects(config, "pages");
    if (!pages) {
        return apps;
    }
    for (const Json& page : *pages) {
        for (const Json& tile : jsonread::objects(page, "tiles").value_or(std::vector<Json>{})) {
            if (jsonread::string(tile, "type") == std::string("app")) {
                if (auto name = jsonread::string(tile, "value")) {
                    apps.insert(*name);
                }
            }
        }
    }
    return apps;
}

bool relayEnabledIn(const Json& config) {
    const auto settings = jsonread::object(config, "settings");
    return settings && jsonread::boolean(*settings, "relayEnabled").value_or(false);
}

void addFlowTo(Json& config, const std::string& label, const std::string& emoji,
               const Json& steps) {
    Json& pages = config["pages"];
    if (!pages.is_array()) {
        pages = Json::array();
    }
    Json* flowsPage = nullptr;
    for (Json& page : pages) {
        if (page.is_object() && isFlowsPage(page)) {
            flowsPage = &page;
            break;
        }
    }
    if (!flowsPage) {
        pages.push_back(Json{{"name", FLOWS_PAGE},
                             {"icon", "\xE2\x9A\xA1"},  // ⚡
                             {"tiles", Json::array()}});
        flowsPage = &pages.back();
    }
    tilesOf(*flowsPage)
        .push_back(Json{{"type", "flow"}, {"label", label}, {"emoji", emoji}, {"steps", steps}});
}

void addAppsTo(Json& config, const std::vector<std::string>& apps) {
    Json& pages = config["pages"];
    if (!pages.is_array()) {
        pages = Json::array();
    }
    const auto isAppsPage = [](const Json& page) {
        return page.is_object() && jsonread::string(page, "name") == std::string("Apps");
    };
    auto page = std::find_if(pages.begin(), pages.end(), isAppsPage);
    if (page == pages.end()) {
        pages.insert(pages.begin(), Json{{"name", "Apps"},
                                         {"icon", "\xF0\x9F\x9A\x80"},  // 🚀
                                         {"tiles", Json::array()}});
        page = pages.begin();
    }
    Json& tiles = tilesOf(*page);
    for (const std::string& app : apps) {
        const bool present = std::any_of(tiles.begin(), tiles.end(), [&](const Json& tile) {
            return jsonread::string(tile, "type") == std::string("app") &&
                   jsonread::string(tile, "value") == app;
        });
        if (!present) {
            tiles.push_back(Json{{"type", "app"}, {"value", app}, {"label", app}});
        }
    }
}

bool removeFlowFrom(Json& config, const std::string& label) {
    if (!config.is_object() || !config.contains("pages") || !config["pages"].is_array()) {
        return false;
    }
    for (Json& page : config["pages"]) {
        if (!page.is_object() || !isFlowsPage(page)) {
            continue;
        }
        Json& tiles = tilesOf(page);
        Json kept = Json::array();
        for (Json& tile : tiles) {
            if (jsonread::string(tile, "label") != label) {
                kept.push_back(std::move(tile));
            }
        }
        tiles = std::move(kept);
    }
    return true;
}

}  // namespace td::store

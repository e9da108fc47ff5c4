#include "api/handlers.hpp"
#include "host/apps.hpp"
#include "host/gestures.hpp"
#include "host/host_facts.hpp"
#include "host/shortcuts.hpp"
#include "update/version.hpp"

namespace td::api::handlers {
Response admin(const ApiContext& context, const Request& request) {
    Json gestures = Json::array();
    for (const auto& [id, gesture] : host::GESTURES) {
        gestures.push_back({{"value", id},
                            {"label", std::string(gesture.label)},
                            {"emoji", std::string(gesture.emoji)}});
    }
    return server::jsonResponse(
        {{"ok", true},
         {"host", host::hostName()},
         {"version", update::currentVersion()},
         {"config", context.store.snapshotConfig()},
         // The PIN makes tokens without bound: this computer's screen shows it, a phone's not.
         {"pin",
          requestIsLocal(request, context.port()) ? Json(context.store.pinValue()) : Json(nullptr)},
         {"apps", host::listApps()},
         {"gestures", std::move(gestures)},
         {"shortcuts",
          host::listShortcuts(std::filesystem::path(context.store.supportFolder()) / "shortcuts")},
         {"relayUrl", context.relayUrl()},
         {"relayEnabled", context.store.relayEnabled()},
         {"relayCertificate", context.relayCertificate ? context.relayCertificate() : Json()},
         {"tileSources", context.tileSources ? context.tileSources->report() : Json::array()},
         {"notificationAppsSeen",
          context.bridge ? Json(context.bridge->appsSeen()) : Json::array()}});
}

Response openAdmin(const ApiContext& context, const Request&) {
    if (context.showPanel) {
        context.showPanel();  // posts to the main thread; the answer does not wait for it
    }
    return server::jsonResponse({{"ok", true}});
}

}  // namespace td::api::handlers

#include "api/handlers.hpp"
#include "host/apps.hpp"
#include "host/gestures.hpp"
#include "host/host_facts.hpp"
#include "host/keys.hpp"
#include "host/shortcuts.hpp"
#include "update/version.hpp"

namespace td::api::handlers {
namespace {

// How keys reach this desktop, and when they cannot, why and what to do.
Json keysReport(const ApiContext& context) {
    Json report = {{"backend", host::backendName(context.keyboard.backend())},
                   {"trusted", context.keyboard.trusted()}};
    if (!report["trusted"].get<bool>()) {
        report["advice"] = context.keyboard.unavailableText(host::KeysHelp::full);
    }
    return report;
}

}  // namespace

Response admin(const ApiContext& context, const Request&) {
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
         {"pin", context.store.pinValue()},
         {"apps", host::listApps()},
         {"gestures", std::move(gestures)},
         {"shortcuts",
          host::listShortcuts(std::filesystem::path(context.store.supportFolder()) / "shortcuts")},
         {"relayUrl", context.settings.relayPhonePageUrl(context.store.relayId())},
         {"relayEnabled", context.store.relayEnabled()},
         {"keys", keysReport(context)}});
}

Response allowKeys(const ApiContext& context, const Request&) {
    context.keyboard.requestAccess();
    Json answer = keysReport(context);
    answer["ok"] = answer["trusted"];
    return server::jsonResponse(answer);
}

Response openAdmin(const ApiContext& context, const Request&) {
    if (context.showPanel) {
        context.showPanel();  // posts to the main thread; the answer does not wait for it
    }
    return server::jsonResponse({{"ok", true}});
}

}  // namespace td::api::handlers

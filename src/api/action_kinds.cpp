#include "api/action_kinds.hpp"

#include <algorithm>

#include "api/handlers.hpp"
#include "common/web_url.hpp"
#include "host/apps.hpp"
#include "host/gestures.hpp"
#include "host/keys.hpp"
#include "host/shortcuts.hpp"

namespace td::api {

std::vector<ActionKind> actionKinds(const ApiContext& context) {
    using namespace handlers;
    const ApiContext* ctx = &context;
    const auto any = MethodRule::anyMethod();
    const auto post = MethodRule::only("POST");
    const auto notPost = MethodRule::allBut("POST");
    const auto pool = Runs::onWorkPool;
    auto with = [&context](Handler handler) { return bound(context, handler); };

    return {
        {"app",
         {{"/api/launch", any, Access::token, pool, with(launch), ACTION_BODY}},
         "",
         flows::StepKind{
             [ctx](const std::string& name) { return ctx->store.allowedApps().count(name) > 0; },
             [](const std::string& name) { return host::launchApp(name); }},
         {{"app"}}},
        {"url",
         {{"/api/url", any, Access::token, pool, with(openUrl), ACTION_BODY}},
         "",
         flows::StepKind{[](const std::string& url) { return isWebUrl(url); },
                         [](const std::string& url) { return host::openURL(url); }},
         {{"url"}}},
        {"shortcut",
         {{"/api/shortcut", any, Access::token, pool, with(shortcut), ACTION_BODY},
          {"/api/shortcuts", any, Access::localOrToken, pool, with(shortcuts)}},
         "shortcuts",
         flows::StepKind{[ctx](const std::string& name) {
                             const auto names = host::listShortcuts(shortcutsFolder(*ctx));
                             return std::find(names.begin(), names.end(), name) != names.end();
                         },
                         [ctx](const std::string& name) {
                             return host::runShortcut(shortcutsFolder(*ctx), name);
                         }},
         {{"shortcut"}}},
        {"gesture",
         {{"/api/gesture", any, Access::token, pool, with(gesture), ACTION_BODY}},
         "keys",
         flows::StepKind{[](const std::string& id) { return host::isGesture(id); },
                         [ctx](const std::string& id) {
                             return host::runGesture(ctx->keyboard, ctx->settings.desktop, id,
                                                     gestureKeysOverride(*ctx, id));
                         }},
         {{"gesture"}}},
        {"keys",
         {{"/api/keys", post, Access::localOrToken, pool, with(pressKeys), ACTION_BODY}},
         "keys",
         flows::StepKind{
             [](const std::string& combo) { return host::parseKeyCombo(combo).has_value(); },
             [ctx](const std::string& combo) { return host::pressKeys(ctx->keyboard, combo); }},
         {{"keys"}}},
        {"media",
         {{"/api/media", any, Access::token, pool, with(media), ACTION_BODY}},
         "media",
         std::nullopt,
         {{"media"}}},
        {"volume",
         {{"/api/volume", post, Access::token, pool, with(setVolume), ACTION_BODY},
          {"/api/volume", notPost, Access::token, pool, with(readVolume)}},
         "sound",
         std::nullopt,
         {{"volume"}}},
        {"system",
         {{"/api/system", any, Access::token, pool, with(system), ACTION_BODY}},
         "",
         std::nullopt,
         {{"system", "value", "sleep", "suspend"},
          {"system", "value", "screensaver", "screensaver"}}},
        {"clipboard",
         {{"/api/clipboard", post, Access::token, pool, with(clipboard), CLIPBOARD_BODY},
          {"/api/clipboard", notPost, Access::localOrToken, pool, with(readClipboard)}},
         "clipboard",
         std::nullopt,
         {{"text", "mode", "clipboard"}, {"clipboard"}}},
        {"type",
         {{"/api/type", any, Access::token, pool, with(typeText), ACTION_BODY}},
         "keys",
         std::nullopt,
         {{"text"}}},
        {"flow",
         {{"/api/run-plan", any, Access::token, pool, with(runPlan), ACTION_BODY}},
         "",
         std::nullopt,
         {{"flow"}}},
        {"pointer",
         {{"/api/pointer", post, Access::localOrToken, Runs::onNetworkThread,
           Takeover([ctx](const server::ConnectionPtr& connection, const server::Request& request) {
               postPointer(*ctx, connection, request);
           }),
           POINTER_BODY},
          {"/api/pointer", notPost, Access::localOrToken, Runs::onNetworkThread,
           Takeover([ctx](const server::ConnectionPtr& connection, const server::Request& request) {
               pointerSocket(*ctx, connection, request);
           })}},
         "pointer",
         std::nullopt,
         {{"touchpad"}}},
        // A toggle runs steps (each checked as a flow's), or follows the sound or the player; a
        // slider runs a Shortcut.
        {"tiles",
         {{"/api/tiles", notPost, Access::localOrToken, Runs::onNetworkThread, with(readTiles)},
          {"/api/tiles/", post, Access::localOrToken, pool, with(tileRequest),
           tiles::MAX_PUSH_BYTES}},
         "",
         std::nullopt,
         {{"toggle", "source", "mute", "sound"},
          {"toggle", "source", "playing", "media"},
          {"toggle"},
          {"slider", "", "", "shortcuts"},
          {"status"}}},
    };
}

}  // namespace td::api

#include <algorithm>
#include <cmath>

#include "api/action_kinds.hpp"
#include "api/handlers.hpp"
#include "common/json_read.hpp"
#include "flows/steps.hpp"
#include "host/apps.hpp"
#include "host/gestures.hpp"
#include "host/keys.hpp"
#include "host/shortcuts.hpp"
#include "host/system.hpp"
#include "host/volume.hpp"

namespace td::api::handlers {
namespace {

// The first of two members that is a string, else "".
std::string eitherString(const UntrustedJson& body, std::string_view first,
                         std::string_view second) {
    return jsonread::string(body, first).value_or(jsonread::string(body, second).value_or(""));
}

Response okAnswer(bool ok) {
    return server::jsonResponse({{"ok", ok}});
}

// A failed key action says why only when keys cannot reach the desktop at all.
Response keyActionAnswer(const ApiContext& context, bool ok, host::KeysHelp help) {
    if (ok || context.keyboard.trusted()) {
        return okAnswer(ok);
    }
    return server::jsonResponse({{"ok", false}, {"error", context.keyboard.unavailableText(help)}});
}

}  // namespace

std::filesystem::path shortcutsFolder(const ApiContext& context) {
    return std::filesystem::path(context.store.supportFolder()) / "shortcuts";
}

std::string gestureKeysOverride(const ApiContext& context, const std::string& id) {
    const auto settings = jsonread::object(context.store.snapshotConfig(), "settings");
    const auto overrides = settings ? jsonread::object(*settings, "gestureKeys") : std::nullopt;
    return overrides ? jsonread::string(*overrides, id).value_or("") : "";
}

flows::StepHost stepHost(const ApiContext& context) {
    const ApiContext* ctx = &context;
    flows::StepHost host{[ctx] { return ctx->store.allowedApps(); },
                         [ctx] { return host::listShortcuts(shortcutsFolder(*ctx)); },
                         {}};
    for (ActionKind& kind : actionKinds(context)) {
        if (kind.step) {
            host.kinds.emplace(kind.name, std::move(*kind.step));
        }
    }
    return host;
}

Response launch(const ApiContext& context, const Request& request) {
    const std::string app = bodyString(request, "app");
    return okAnswer(context.store.allowedApps().count(app) > 0 && host::launchApp(app));
}

Response openUrl(const ApiContext&, const Request& request) {
    return okAnswer(host::openURL(bodyString(request, "url")));
}

Response shortcut(const ApiContext& context, const Request& request) {
    const std::string name = eitherString(server::bodyJSON(request), "name", "value");
    return okAnswer(host::runShortcut(shortcutsFolder(context), name));
}

namespace {

// The keyboard serves one phone's keys at a time; a phone's keys waiting beyond their share
// would each hold a worker every phone shares.
Response keyboardBusy() {
    return server::jsonResponse(
        {{"ok", false}, {"error", "Still sending this phone's keys: send the next after them"}},
        429);
}

}  // namespace

Response gesture(const ApiContext& context, const Request& request) {
    const auto turn = context.keyboardTurns->take(tokenOf(request).value_or(request.peer));
    if (!turn) {
        return keyboardBusy();
    }
    const std::string id = eitherString(server::bodyJSON(request), "value", "action");
    return keyActionAnswer(context,
                           host::runGesture(context.keyboard, context.settings.desktop, id,
                                            gestureKeysOverride(context, id)),
                           host::KeysHelp::full);
}

// Media players are told over D-Bus: no key is sent, so a failure never asks for key access.
Response setVolume(const ApiContext&, const Request& request) {
    const UntrustedJson body = server::bodyJSON(request);
    if (const auto muted = jsonread::boolean(body, "muted")) {
        return server::jsonResponse({{"ok", host::setMuted(*muted)}, {"muted", *muted}});
    }
    const double requested = jsonread::number(body, "level").value_or(50);
    // Far outside any volume; clamping first keeps the conversion defined.
    const int level = static_cast<int>(std::trunc(std::clamp(requested, -1e6, 1e6)));
    const bool ok = host::setVolume(level);
    return server::jsonResponse({{"ok", ok}, {"level", std::clamp(level, 0, 100)}});
}

Response readVolume(const ApiContext&, const Request&) {
    return server::jsonResponse(
        {{"ok", true}, {"level", host::getVolume()}, {"muted", host::isMuted()}});
}

Response system(const ApiContext&, const Request& request) {
    return okAnswer(host::systemAction(bodyString(request, "action")));
}

Response clipboard(const ApiContext& context, const Request& request) {
    const auto turn = clipboardTurn(context, request);
    if (!turn) {
        return clipboardBusy();
    }
    return okAnswer(host::setClipboard(bodyString(request, "text"), context.settings.session));
}

Response pressKeys(const ApiContext& context, const Request& request) {
    const std::string combo = bodyString(request, "combo");
    if (!host::parseKeyCombo(combo)) {
        return server::jsonResponse(
            {{"ok", false},
             {"error",
              "Not a key combination: modifiers (ctrl, shift, alt, super) and one key, "
              "joined by +"}},
            400);
    }
    const auto turn = context.keyboardTurns->take(tokenOf(request).value_or(request.peer));
    if (!turn) {
        return keyboardBusy();
    }
    return keyActionAnswer(context, host::pressKeys(context.keyboard, combo), host::KeysHelp::full);
}

Response typeText(const ApiContext& context, const Request& request) {
    const auto turn = context.keyboardTurns->take(tokenOf(request).value_or(request.peer));
    if (!turn) {
        return keyboardBusy();
    }
    const std::string text = bodyString(request, "text");
    return keyActionAnswer(context, host::typeText(context.keyboard, text), host::KeysHelp::brief);
}

Response icon(const ApiContext& context, const Request& request) {
    const auto app = request.query.find("app");
    const auto png = app == request.query.end() ? std::nullopt : context.icons.png(app->second);
    if (!png) {
        return server::textResponse(404, "text/plain", "");
    }
    return {200, "image/png", *png, "Cache-Control: public, max-age=604800\r\n"};
}

Response shortcuts(const ApiContext& context, const Request&) {
    return server::jsonResponse(
        {{"ok", true}, {"shortcuts", host::listShortcuts(shortcutsFolder(context))}});
}

}  // namespace td::api::handlers

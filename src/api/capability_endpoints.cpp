#include <filesystem>

#include "api/action_kinds.hpp"
#include "api/handlers.hpp"
#include "host/capabilities.hpp"
#include "host/keys.hpp"
#include "host/shortcuts.hpp"

namespace td::api::handlers {
namespace {

// One part of the report: whether it works, what was found, and when it does not work, why
// (short, for a phone's tile) and what to do (for the admin page).
Json part(bool ok, Json found, const std::string& reason = "", const std::string& fix = "") {
    Json report = {{"ok", ok}};
    report.update(found);
    if (!ok) {
        report["reason"] = reason;
        report["fix"] = fix;
    }
    return report;
}

Json keysPart(const ApiContext& context) {
    host::Keyboard& keyboard = context.keyboard;
    // A portal that has not been asked yet, or was refused, asks again when a key tile is
    // tapped: such tiles stay usable.
    return part(keyboard.trusted(),
                {{"backend", host::backendName(keyboard.backend())},
                 {"canAsk", keyboard.backend() == host::KeysBackend::portal}},
                keyboard.unavailableText(host::KeysHelp::brief),
                keyboard.unavailableText(host::KeysHelp::full));
}

Json pointerPart(const ApiContext& context) {
    host::Pointer& pointer = context.pointer;
    return part(pointer.trusted(),
                {{"backend", host::backendName(pointer.backend())},
                 {"canAsk", pointer.backend() == host::PointerBackend::portal}},
                pointer.unavailableText(), pointer.unavailableText());
}

Json mediaPart() {
    const auto players = host::mediaPlayers();
    return part(!players.empty(), {{"players", players}}, "No media player is running.",
                "Start a player that speaks MPRIS (Rhythmbox, VLC, Spotify, mpv with mpv-mpris, "
                "or a browser playing media); media keys go to it.");
}

Json soundPart() {
    if (!host::toolInstalled("pactl")) {
        return part(false, Json::object(), "pactl is not installed.",
                    "Install pulseaudio-utils (it drives PulseAudio and PipeWire alike).");
    }
    const auto server = host::soundServer();
    return part(
        server.has_value(),
        server ? Json{{"server", server->name}, {"output", server->output}} : Json::object(),
        "No sound server answers.",
        "Start PipeWire (with pipewire-pulse) or PulseAudio in this desktop session.");
}

Json toolPart(const std::string& tool, const std::string& package) {
    return part(host::toolInstalled(tool), {{"tool", tool}}, tool + " is not installed.",
                "Install " + package + ".");
}

// Whether the phones hear of the clipboard's changes, and why not.
Json clipboardFollowing(const ApiContext& context) {
    if (!context.bridge) {
        return {{"ok", false}, {"reason", "The clipboard is not followed."}};
    }
    const host::ClipboardFollowing following = context.bridge->clipboardFollowing();
    Json report = {{"ok", following.following}, {"how", following.how}};
    if (!following.following) {
        report["reason"] = following.reason;
        report["fix"] = following.fix;
    }
    return report;
}

Json clipboardPart(const ApiContext& context) {
    Json report;
    switch (context.settings.session) {
        case DesktopSession::wayland:
            report = toolPart("wl-copy", "wl-clipboard");
            break;
        case DesktopSession::x11:
            report = toolPart("xclip", "xclip");
            break;
        case DesktopSession::none:
            return part(false, Json::object(), "There is no desktop session.",
                        "Start Tapdeck from your desktop session.");
    }
    report["follows"] = clipboardFollowing(context);
    return report;
}

Json focusPart(const ApiContext& context) {
    if (!context.bridge) {
        return part(false, Json::object(), "The app in front is not followed.", "");
    }
    const host::FocusFollowing following = context.bridge->focusFollowing();
    return part(following.following, {{"how", following.how}}, following.reason, following.fix);
}

Json notificationsPart(const ApiContext& context) {
    const bool on = bridge::notificationChoiceIn(context.store.snapshotConfig()).on;
    const std::string problem = context.bridge ? context.bridge->notificationProblem() : "";
    return part(!on || problem.empty(), {{"on", on}}, problem,
                "Start Tapdeck from your desktop session, whose session bus shows the "
                "applications' notifications.");
}

Json suspendPart() {
    if (!host::toolInstalled("systemctl")) {
        return part(false, Json::object(), "systemctl is not installed.",
                    "Sleep needs systemd's logind; use the computer's own menu instead.");
    }
    const auto why = host::suspendUnavailable();
    return part(!why, Json::object(), why ? "Sleep is not available." : "",
                "Sleep needs systemd's logind: " + why.value_or("") + ".");
}

Json shortcutsPart(const ApiContext& context) {
    const auto folder = std::filesystem::path(context.store.supportFolder()) / "shortcuts";
    return part(true, {{"folder", folder.string()}, {"count", host::listShortcuts(folder).size()}});
}

Json relayPart(const ApiContext& context) {
    const bool enabled = context.store.relayEnabled();
    const bool connected = context.relayConnected && context.relayConnected();
    if (enabled && connected && context.relayCertificate) {
        // A relay that passes phones' TLS unread needs this computer's own certificate.
        const Json certificate = context.relayCertificate();
        if (certificate.value("state", "") == "failed" ||
            certificate.value("state", "") == "obtaining") {
            const std::string error = certificate.value("error", "it is being obtained");
            return part(false,
                        {{"enabled", true}, {"connected", true}, {"certificate", certificate}},
                        "Phones away from home cannot connect yet: this computer has no "
                        "certificate for them (" +
                            error + ").",
                        "Tapdeck tries again by itself, from a minute to a day apart; check "
                        "that the relay's name resolves and the CA can reach it.");
        }
        return part(true, {{"enabled", true}, {"connected", true}, {"certificate", certificate}});
    }
    return part(!enabled || connected, {{"enabled", enabled}, {"connected", connected}},
                "The relay is on but not connected.",
                "Check this computer's internet connection; Tapdeck tries again every 5 seconds.");
}

Json plannerPart(const ApiContext& context) {
    return part(!context.settings.plannerKey().empty(), Json::object(),
                "No Anthropic API key is set.",
                "Set ANTHROPIC_API_KEY in Tapdeck's environment (for the user service: "
                "systemctl --user edit tapdeck), then restart it.");
}

// Whether each tile type works here, by the part its action kind needs, so that the pages
// grey out what cannot work without a mapping of their own; and which kinds a flow may use.
void addTilesAndSteps(Json& report, const ApiContext& context) {
    Json tiles = Json::array();
    Json steps = Json::array();
    for (const ActionKind& kind : actionKinds(context)) {
        if (kind.step) {
            steps.push_back(kind.name);
        }
        for (const TileRule& rule : kind.tiles) {
            Json tile = {{"type", rule.type}};
            if (!rule.member.empty()) {
                tile["member"] = rule.member;
                tile["value"] = rule.value;
            }
            const std::string_view needs = rule.needs.empty() ? kind.needs : rule.needs;
            tile["kind"] = kind.name;
            const Json* gate = needs.empty() ? nullptr : &report[std::string(needs)];
            tile["ok"] = !gate || gate->value("ok", false);
            if (gate && !tile["ok"].get<bool>()) {
                tile["reason"] = gate->value("reason", "");
                tile["canAsk"] = gate->value("canAsk", false);
            }
            tiles.push_back(std::move(tile));
        }
    }
    report["tiles"] = std::move(tiles);
    report["steps"] = std::move(steps);
}

}  // namespace

Response capabilities(const ApiContext& context, const Request&) {
    Json report = {{"ok", true},
                   {"keys", keysPart(context)},
                   {"pointer", pointerPart(context)},
                   {"media", mediaPart()},
                   {"sound", soundPart()},
                   {"clipboard", clipboardPart(context)},
                   {"notifications", notificationsPart(context)},
                   {"focus", focusPart(context)},
                   {"suspend", suspendPart()},
                   {"screensaver", toolPart("xdg-screensaver", "xdg-utils")},
                   {"shortcuts", shortcutsPart(context)},
                   {"relay", relayPart(context)},
                   {"planner", plannerPart(context)}};
    addTilesAndSteps(report, context);
    return server::jsonResponse(report);
}

Response allowKeys(const ApiContext& context, const Request&) {
    // Where the desktop asks (the portal), one dialog covers both: they share its session.
    context.keyboard.requestAccess();
    context.pointer.requestAccess();
    return server::jsonResponse(keysPart(context));
}

}  // namespace td::api::handlers

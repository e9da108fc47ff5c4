#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace td {

// The kind of desktop session the agent runs in; none means no display at all.
enum class DesktopSession { none, x11, wayland };

// The family of desktop the session runs, where their default key bindings differ.
enum class DesktopKind { gnome, kde, wlroots, other };

// An HTTP(S) address the agent talks to, and whether plain http is acceptable there (only when
// the user or a test named the address, never for one of our own).
struct RemoteEndpoint {
    std::string url;
    bool allowPlainHttp = false;
};

// Everything the agent takes from its environment, read once at start and handed down; no
// other part of the agent reads the environment.
struct Settings {
    static constexpr std::uint16_t DEFAULT_PORT = 8788;
    static constexpr const char* DEFAULT_RELAY_HOST = "relay.tapdeck.app";
    static constexpr const char* DEFAULT_PLANNER_BASE = "https://api.anthropic.com";
    static constexpr const char* DEFAULT_UPDATE_MANIFEST = "https://tapdeck.app/latest.json";

    std::uint16_t port = DEFAULT_PORT;  // 0: any free port
    std::filesystem::path supportFolder;
    // Holds public/ and the shipped config.json.
    std::filesystem::path resourcesFolder;
    // The loadable module with everything that needs GTK (icons); loaded on first use only.
    std::filesystem::path gtkModule;
    // The desktop shell (tray, panel, PIN dialog), loaded in GUI mode only, and the panel's web
    // view, loaded when the panel first opens.
    std::filesystem::path shellModule;
    std::filesystem::path webViewModule;
    // Where the agent registers itself to start at login ($XDG_CONFIG_HOME/autostart).
    std::filesystem::path loginItemFile;
    // The user's data folder ($XDG_DATA_HOME), where file managers look for actions.
    std::filesystem::path dataFolder;
    // Where files from phones land: TD_DOWNLOADS, else the user's XDG download folder.
    std::filesystem::path downloadsFolder;
    std::string relayHost = DEFAULT_RELAY_HOST;  // host[:port] of the relay service
    // ADDRESS:PORT to reach the relay at, whatever its name resolves to; empty: its name's.
    std::string relayConnect;
    // The ACME directory that certifies this computer's name on a relay passing phones' TLS.
    static constexpr const char* DEFAULT_ACME_DIRECTORY =
        "https://acme-v02.api.letsencrypt.org/directory";
    std::string acmeDirectory = DEFAULT_ACME_DIRECTORY;
    // The name phones reach this computer by through such a relay: ID.DOMAIN.
    std::string relayPhoneName(const std::string& relayId) const {
        const std::size_t colon = relayHost.rfind(':');
        const bool hasPort = colon != std::string::npos && relayHost.find(']') == std::string::npos;
        return relayId + "." + (hasPort ? relayHost.substr(0, colon) : relayHost);
    }
    // Scheme and host of the Messages API, without a trailing slash.
    RemoteEndpoint planner{DEFAULT_PLANNER_BASE};
    RemoteEndpoint updateManifest{DEFAULT_UPDATE_MANIFEST};
    // The planner's key, asked for at every plan so that a key set later is used; empty when
    // there is none.
    std::function<std::string()> plannerKey = [] { return std::string(); };
    DesktopSession session = DesktopSession::none;
    DesktopKind desktop = DesktopKind::other;
    bool startedBySystemd = false;
    // Comma-separated debug log categories (TD_DEBUG), e.g. "apps,keys" or "all".
    std::string debugCategories;

    // The relay's socket for this agent; the identifier is appended as it stands.
    std::string relaySocketUrl(const std::string& relayId) const {
        return "wss://" + relayHost + "/mac/ws?id=" + relayId;
    }
    // The same at the agent's own name, for a relay that passes phones' connections unread.
    std::string relayStreamsSocketUrl(const std::string& relayId) const {
        return "wss://" + relayId + ".t." + relayHost + "/mac/ws?id=" + relayId;
    }
    // The relay's phone page for this agent's relay identifier.
    std::string relayPhonePageUrl(const std::string& relayId) const {
        return "https://" + relayHost + "/phone/" + relayId;
    }
};

}  // namespace td

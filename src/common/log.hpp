#pragma once

#include <string>
#include <string_view>
#include <vector>

// Debug logging by category, off unless TD_DEBUG names the category ("apps,keys", or "all").
// Lines say why something failed; they never hold a token, a PIN, a pairing code or a body.
namespace td::log {

enum class Category : unsigned {
    apps,      // launching apps, opening URLs, the launcher's entries
    icons,     // icon lookups
    keys,      // gestures and typing
    media,     // media keys over D-Bus
    tools,     // every external tool the agent runs
    http,      // the server: refused requests, failing handlers
    https,     // the HTTPS client
    store,     // state.json and config.json
    planner,   // plans
    update,    // the update check
    main,      // the main thread and start-up
    relay,     // the relay connection and the requests it carries
    transfer,  // files and links between the phone and the computer
    bridge,    // the clipboard, notifications and the app in front, followed for the phones
};

// Switches on the named categories, replacing what was on; returns the names it did not know.
// Called once at start, before any thread runs: the switch is then only read.
std::vector<std::string> enable(std::string_view commaSeparated);

bool enabled(Category category);

// One line on standard error: "tapdeck[category]: message".
void write(Category category, std::string_view message);

}  // namespace td::log

// Builds the message only when its category is on.
#define TD_LOG(category, message)                                       \
    do {                                                                \
        if (::td::log::enabled(::td::log::Category::category)) {        \
            ::td::log::write(::td::log::Category::category, (message)); \
        }                                                               \
    } while (false)

#include <gio/gio.h>

#include <fstream>
#include <regex>

#include "host/capabilities.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/process.hpp"

namespace td::host {
namespace {

std::optional<std::string> readable(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

bool systemBusNameOwned(const char* name) {
    glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr));
    if (!bus) {
        return false;
    }
    const glib::Variant reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
        1000, nullptr, nullptr));
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply.get(), "(b)", &owned);
    }
    return owned;
}

}  // namespace

FirewallFacts readFirewallFacts() {
    FirewallFacts facts;
    facts.ufwConf = readable("/etc/ufw/ufw.conf");
    facts.nftablesConf = readable("/etc/nftables.conf");
    facts.nftablesActive =
        toolInstalled("systemctl") &&
        runProcess("systemctl", {"is-active", "--quiet", "nftables"}).status == 0;
    facts.firewalldRunning = systemBusNameOwned("org.fedoraproject.FirewallD1");
    return facts;
}

std::vector<FirewallHint> firewallHints(std::uint16_t port, const FirewallFacts& facts) {
    const std::string p = std::to_string(port);
    std::vector<FirewallHint> hints;
    static const std::regex UFW_ON(R"((^|\n)\s*ENABLED\s*=\s*"?yes"?)", std::regex::icase);
    if (facts.ufwConf && std::regex_search(*facts.ufwConf, UFW_ON)) {
        hints.push_back(
            {"ufw", "ufw is on and may block phones: run  sudo ufw allow " + p + "/tcp"});
    }
    if (facts.firewalldRunning) {
        hints.push_back({"firewalld",
                         "firewalld is running and may block phones: run  sudo "
                         "firewall-cmd --permanent --add-port=" +
                             p + "/tcp && sudo firewall-cmd --reload"});
    }
    // A ruleset that drops what it does not accept, and names the port nowhere.
    static const std::regex DROPS(R"(policy\s+drop)");
    const std::regex namesPort("\\b" + p + "\\b");
    if (facts.nftablesActive && facts.nftablesConf &&
        std::regex_search(*facts.nftablesConf, DROPS) &&
        !std::regex_search(*facts.nftablesConf, namesPort)) {
        hints.push_back({"nftables", "nftables drops what it does not accept: add  tcp dport " + p +
                                         " accept  to the input chain in /etc/nftables.conf, then "
                                         "run  sudo systemctl reload nftables"});
    }
    return hints;
}

}  // namespace td::host

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/host_facts.hpp"
#include "host/linux/machine_info.hpp"

namespace td::host {
namespace {

constexpr std::string_view LAN_PREFIXES[] = {"en", "eth", "wl"};
constexpr const char* MACHINE_INFO = "/etc/machine-info";
constexpr const char* ROUTES = "/proc/net/route";
constexpr const char* TCP_TABLES[] = {"/proc/net/tcp", "/proc/net/tcp6"};
// A socket's state in those tables: listening.
constexpr std::string_view LISTEN_STATE = "0A";
// Bridges and links of containers and virtual machines: no phone reaches this computer there.
constexpr std::string_view VIRTUAL_PREFIXES[] = {"docker", "br-", "virbr", "veth", "lxc", "vnet"};

bool isLanInterfaceName(std::string_view name) {
    for (std::string_view prefix : LAN_PREFIXES) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

std::vector<InterfaceAddress> listInterfaces() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return out;
    }
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        InterfaceAddress item{entry->ifa_name ? entry->ifa_name : "", entry->ifa_flags, {}};
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN] = {};
            const auto* addr = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (::inet_ntop(AF_INET, &addr->sin_addr, text, sizeof text)) {
                item.ipv4 = text;
            }
        }
        out.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return out;
}

// Strips one layer of matching quotes from a machine-info value.
std::string unquote(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

std::string chooseLanAddress(const std::vector<InterfaceAddress>& interfaces) {
    for (const InterfaceAddress& entry : interfaces) {
        const bool upAndRunning =
            (entry.flags & (IFF_UP | IFF_RUNNING | IFF_LOOPBACK)) == (IFF_UP | IFF_RUNNING);
        if (upAndRunning && !entry.ipv4.empty() && isLanInterfaceName(entry.name)) {
            return entry.ipv4;
        }
    }
    return "127.0.0.1";
}

std::string lanIP() {
    return chooseLanAddress(listInterfaces());
}

std::string defaultRouteInterface(std::string_view procNetRoute) {
    std::istringstream lines{std::string(procNetRoute)};
    std::string line;
    std::getline(lines, line);  // the column names
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refs, use, metric, mask;
        fields >> name >> destination >> gateway >> flags >> refs >> use >> metric >> mask;
        if (destination == "00000000" && mask == "00000000") {
            return name;
        }
    }
    return "";
}

std::vector<LanAddress> chooseLanAddresses(const std::vector<InterfaceAddress>& interfaces,
                                           std::string_view defaultRouteInterface) {
    std::vector<LanAddress> addresses;
    for (const InterfaceAddress& entry : interfaces) {
        const bool upAndRunning =
            (entry.flags & (IFF_UP | IFF_RUNNING | IFF_LOOPBACK)) == (IFF_UP | IFF_RUNNING);
        const bool isVirtual =
            std::any_of(std::begin(VIRTUAL_PREFIXES), std::end(VIRTUAL_PREFIXES),
                        [&](std::string_view p) { return entry.name.starts_with(p); });
        if (upAndRunning && !isVirtual && !entry.ipv4.empty()) {
            addresses.push_back({entry.name, entry.ipv4, entry.name == defaultRouteInterface});
        }
    }
    std::stable_partition(addresses.begin(), addresses.end(),
                          [](const LanAddress& a) { return a.defaultRoute; });
    return addresses;
}

std::vector<LanAddress> lanAddresses() {
    std::ifstream routes(ROUTES);
    const std::string text((std::istreambuf_iterator<char>(routes)), {});
    return chooseLanAddresses(listInterfaces(), defaultRouteInterface(text));
}

std::optional<std::string> prettyHostnameIn(std::string_view machineInfo) {
    std::istringstream lines{std::string(machineInfo)};
    std::string line;
    std::optional<std::string> found;
    while (std::getline(lines, line)) {
        constexpr std::string_view KEY = "PRETTY_HOSTNAME=";
        if (line.starts_with(KEY)) {
            found = unquote(line.substr(KEY.size()));
        }
    }
    if (found && found->empty()) {
        return std::nullopt;
    }
    return found;
}

std::string withoutDotLocal(std::string hostName) {
    constexpr std::string_view SUFFIX = ".local";
    for (auto at = hostName.find(SUFFIX); at != std::string::npos; at = hostName.find(SUFFIX)) {
        hostName.erase(at, SUFFIX.size());
    }
    return hostName;
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    return name;
}

std::string computerName() {
    std::ifstream file(MACHINE_INFO);
    std::stringstream contents;
    contents << file.rdbuf();
    if (auto pretty = prettyHostnameIn(contents.str())) {
        return *pretty;
    }
    return withoutDotLocal(hostName());
}

std::optional<unsigned> listenerUid(std::string_view procNetTcp, std::uint16_t port) {
    std::istringstream lines{std::string(procNetTcp)};
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned uid = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
              uid) ||
            state != LISTEN_STATE) {
            continue;
        }
        const std::size_t colon = local.rfind(':');
        if (colon != std::string::npos &&
            std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) {
            return uid;
        }
    }
    return std::nullopt;
}

std::optional<unsigned> portListenerUid(std::uint16_t port) {
    for (const char* table : TCP_TABLES) {
        std::ifstream file(table);
        std::stringstream text;
        text << file.rdbuf();
        if (const auto uid = listenerUid(text.str(), port)) {
            return uid;
        }
    }
    return std::nullopt;
}

}  // namespace td::host

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "host/host_facts.hpp"
#include "host/linux/machine_info.hpp"

namespace td::host {
namespace {

constexpr std::string_view LAN_PREFIXES[] = {"en", "eth", "wl"};
constexpr const char* MACHINE_INFO = "/etc/machine-info";

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

}  // namespace td::host

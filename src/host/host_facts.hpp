#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace td::host {

// One IPv4 address of a network interface, as the system lists them.
struct InterfaceAddress {
    std::string name;
    unsigned flags = 0;  // IFF_* bits
    std::string ipv4;    // dotted decimal; empty when the entry has no IPv4 address
};

// The address a phone on the local network reaches this computer at: the first IPv4 address
// of an interface that is up, running, not loopback and wired (en*, eth*) or wireless (wl*);
// "127.0.0.1" when there is none.
std::string lanIP();
std::string chooseLanAddress(const std::vector<InterfaceAddress>& interfaces);

// One address of this computer that a phone on the local network may reach.
struct LanAddress {
    std::string interface;
    std::string address;
    bool defaultRoute = false;  // on the interface of the default route
};

// Every IPv4 address of an interface that is up, running and not loopback, but those of
// containers and virtual machines (docker*, br-*, virbr*, veth*, lxc*); the default route's
// first, then as the system lists them.
std::vector<LanAddress> lanAddresses();
std::vector<LanAddress> chooseLanAddresses(const std::vector<InterfaceAddress>& interfaces,
                                           std::string_view defaultRouteInterface);
// The interface of the IPv4 default route in the text of /proc/net/route; empty when none.
std::string defaultRouteInterface(std::string_view procNetRoute);

// The computer's user-visible name: the pretty host name when one is set, else the host name
// with every ".local" removed.
std::string computerName();
std::string withoutDotLocal(std::string hostName);

// The machine's network host name.
std::string hostName();

// The user whose socket listens on TCP `port` in the text of /proc/net/tcp or /proc/net/tcp6;
// nothing when none listens there.
std::optional<unsigned> listenerUid(std::string_view procNetTcp, std::uint16_t port);
// The same from the kernel's own tables, IPv4 and IPv6.
std::optional<unsigned> portListenerUid(std::uint16_t port);

}  // namespace td::host

#pragma once

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

// The computer's user-visible name: the pretty host name when one is set, else the host name
// with every ".local" removed.
std::string computerName();
std::string withoutDotLocal(std::string hostName);

// The machine's network host name.
std::string hostName();

}  // namespace td::host

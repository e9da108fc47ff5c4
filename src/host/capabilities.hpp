#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace td::host {

// What the host actions need, looked up on this computer now. Nothing here changes anything.

struct SoundServer {
    std::string name;    // "pulseaudio", "PulseAudio (on PipeWire 0.3.65)"
    std::string output;  // the default sink
};
// Nothing when no sound server answers.
std::optional<SoundServer> soundServer();

// The MPRIS names of the media players on the session bus.
std::vector<std::string> mediaPlayers();

// Whether a tool is on PATH (and executable).
bool toolInstalled(const std::string& name);

// Why the computer cannot be suspended (logind says no, or does not answer on the system bus);
// nothing when it can, or when there is no system bus to ask.
std::optional<std::string> suspendUnavailable();

// A firewall that may keep phones from reaching the port, and what to run to let them in.
struct FirewallHint {
    std::string firewall;
    std::string advice;
};

// What can be seen of the firewalls without root.
struct FirewallFacts {
    std::optional<std::string> ufwConf;       // /etc/ufw/ufw.conf
    std::optional<std::string> nftablesConf;  // /etc/nftables.conf
    bool nftablesActive = false;              // its service is running
    bool firewalldRunning = false;            // on the system bus
};
FirewallFacts readFirewallFacts();
std::vector<FirewallHint> firewallHints(std::uint16_t port, const FirewallFacts& facts);

}  // namespace td::host

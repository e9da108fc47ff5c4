// tapdeck-relay: carries phones' requests to agents that keep a WebSocket to it.
#include <sys/resource.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "common/version.hpp"
#include "relay_server/relay_service.hpp"

namespace {

constexpr const char* USAGE =
    "Usage: tapdeck-relay [--listen ADDRESS:PORT] [--cert PEM --key PEM] [--max-body BYTES]\n"
    "                     [--phone-domain DOMAIN] [--metrics ADDRESS:PORT]\n"
    "                     [--max-agents-per-address N] [--max-phones-per-address N]\n"
    "                     [--trusted-proxy ADDRESS]... [--name HOST[:PORT]]...\n"
    "                     [--passthrough]\n"
    "\n"
    "  --listen ADDRESS:PORT  where to listen (default 0.0.0.0:8789; port 0 picks a free one;\n"
    "                         IPv6 as [::]:8789)\n"
    "  --cert PEM, --key PEM  certificate chain and key: serve HTTPS and WSS; without them,\n"
    "                         plain HTTP and WS for use behind a proxy that terminates TLS\n"
    "  --max-body BYTES       the largest request body a phone may send (default 1048576)\n"
    "  --phone-domain DOMAIN  host[:port] as phones see it: each computer's pages are served at\n"
    "                         https://ID.DOMAIN/, an origin of its own (needs a wildcard DNS\n"
    "                         record and certificate)\n"
    "  --metrics ADDRESS:PORT a plain listener for GET /metrics (Prometheus) and /healthz\n"
    "  --max-agents-per-address N   agent sockets from one address (default 64; 0: no limit)\n"
    "  --max-phones-per-address N   phone connections from one address (default 256; 0: no\n"
    "                         limit)\n"
    "  --trusted-proxy ADDRESS  a proxy in front (repeatable): for its connections the client\n"
    "                         is the last X-Forwarded-For entry; with --passthrough, the one\n"
    "                         its PROXY protocol (version 1) line names, which it must send\n"
    "  --name HOST[:PORT]     a name agents reach this relay by (repeatable); the phone domain\n"
    "                         is one. An agent's proof names the relay: one made for another\n"
    "                         is refused. Without any, agents may use any name\n"
    "  --passthrough          carry each phone's TLS connection unread to its computer, which\n"
    "                         holds the certificate for ID.DOMAIN itself: the relay reads only\n"
    "                         the server name. Needs --phone-domain, --cert and --key; the\n"
    "                         certificate names DOMAIN and *.t.DOMAIN, where agents connect\n"
    "  --version, --help\n";

struct Arguments {
    td::relay_server::RelayOptions options;
    bool showVersion = false;
    bool showHelp = false;
};

// A count: decimal digits, at most twelve.
std::optional<std::size_t> parseCount(std::string_view text) {
    if (text.empty() || text.size() > 12 ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(std::stoull(std::string(text)));
}

// host[:port]: letters, digits, dots and hyphens, as phones type it; kept lower-case.
std::optional<std::string> parseDomain(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    const std::string_view name = text.substr(0, colon);
    const bool portOk = colon == std::string_view::npos ||
                        (colon + 1 < text.size() && colon + 6 >= text.size() &&
                         text.find_first_not_of("0123456789", colon + 1) == std::string_view::npos);
    if (name.empty() || name.front() == '.' || name.back() == '.' || !portOk ||
        name.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
            std::string_view::npos) {
        return std::nullopt;
    }
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

bool parseListen(std::string_view text, std::string& addressOut, std::uint16_t& portOut) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    std::string_view address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    const std::string port(text.substr(colon + 1));
    if (address.empty() || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535) {
        return false;
    }
    addressOut = std::string(address);
    portOut = static_cast<std::uint16_t>(std::stoul(port));
    return true;
}

bool parseArguments(int argc, char** argv, Arguments& arguments, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--version") {
            arguments.showVersion = true;
            continue;
        }
        if (name == "--help" || name == "-h") {
            arguments.showHelp = true;
            continue;
        }
        if (name == "--passthrough") {
            arguments.options.passthrough = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = "unknown option or missing value: " + std::string(name);
            return false;
        }
        const std::string value = argv[++i];
        auto& options = arguments.options;
        if (name == "--listen") {
            if (!parseListen(value, options.address, options.port)) {
                error = "--listen takes ADDRESS:PORT";
                return false;
            }
        } else if (name == "--metrics") {
            std::uint16_t port = 0;
            if (!parseListen(value, options.metricsAddress, port)) {
                error = "--metrics takes ADDRESS:PORT";
                return false;
            }
            options.metricsPort = port;
        } else if (name == "--phone-domain") {
            const auto domain = parseDomain(value);
            if (!domain) {
                error = "--phone-domain takes a host name, with an optional :PORT";
                return false;
            }
            options.phoneDomain = *domain;
        } else if (name == "--max-agents-per-address" || name == "--max-phones-per-address") {
            const auto count = parseCount(value);
            if (!count) {
                error = std::string(name) + " takes a number";
                return false;
            }
            (name == "--max-agents-per-address" ? options.maxAgentsPerAddress
                                                : options.maxPhonesPerAddress) = *count;
        } else if (name == "--trusted-proxy") {
            options.trustedProxies.push_back(value);
        } else if (name == "--name") {
            const auto host = parseDomain(value);
            if (!host) {
                error = "--name takes a host name, with an optional :PORT";
                return false;
            }
            options.names.push_back(*host);
        } else if (name == "--cert") {
            arguments.options.certFile = value;
        } else if (name == "--key") {
            arguments.options.keyFile = value;
        } else if (name == "--max-body") {
            const auto bytes = parseCount(value);
            if (!bytes) {
                error = "--max-body takes a number of bytes";
                return false;
            }
            options.maxBody = *bytes;
        } else {
            error = "unknown option: " + std::string(name);
            return false;
        }
    }
    return true;
}

void logLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    std::string error;
    if (!parseArguments(argc, argv, arguments, error)) {
        std::fprintf(stderr, "tapdeck-relay: %s\n\n%s", error.c_str(), USAGE);
        return 2;
    }
    if (arguments.showHelp) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (arguments.showVersion) {
        std::printf("tapdeck-relay %s\n", td::VERSION);
        return 0;
    }
    // Every agent holds a descriptor.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Blocked before the network thread starts, so that only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    arguments.options.log = logLine;
    try {
        td::relay_server::RelayService service(arguments.options);
        const std::string& address = arguments.options.address;
        const bool ipv6 = address.find(':') != std::string::npos;
        logLine("Relay listening on " + (ipv6 ? "[" + address + "]" : address) + ":" +
                std::to_string(service.port()) + (service.usesTls() ? " (tls)" : " (plain)"));
        if (const auto metricsPort = service.metricsPort()) {
            const std::string& at = arguments.options.metricsAddress;
            const bool metricsIpv6 = at.find(':') != std::string::npos;
            logLine("Metrics listening on " + (metricsIpv6 ? "[" + at + "]" : at) + ":" +
                    std::to_string(*metricsPort));
        }
        if (arguments.options.passthrough) {
            logLine("Passing phones' connections to ID." + arguments.options.phoneDomain +
                    " unread; agents connect to ID.t." + arguments.options.phoneDomain);
        } else if (arguments.options.phoneDomain.empty()) {
            logLine(
                "Without --phone-domain every computer's pages share this relay's origin: "
                "their storage is shared, no service worker runs, and one computer's page "
                "can read what another's keeps in the same browser. Serve only people who "
                "trust each other.");
        }
        int received = 0;
        sigwait(&stopSignals, &received);
        logLine("Stopping");
        service.stop();
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "tapdeck-relay: %s\n", failure.what());
        return 1;
    }
    return 0;
}

// tapdeck-relay: carries phones' requests to agents that keep a WebSocket to it.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "common/version.hpp"
#include "relay_server/relay_service.hpp"

namespace {

constexpr const char* USAGE =
    "Usage: tapdeck-relay [--listen ADDRESS:PORT] [--cert PEM --key PEM] [--max-body BYTES]\n"
    "\n"
    "  --listen ADDRESS:PORT  where to listen (default 0.0.0.0:8789; port 0 picks a free one;\n"
    "                         IPv6 as [::]:8789)\n"
    "  --cert PEM, --key PEM  certificate chain and key: serve HTTPS and WSS; without them,\n"
    "                         plain HTTP and WS for use behind a proxy that terminates TLS\n"
    "  --max-body BYTES       the largest request body a phone may send (default 1048576)\n"
    "  --version, --help\n";

struct Arguments {
    td::relay_server::RelayOptions options;
    bool showVersion = false;
    bool showHelp = false;
};

bool parseListen(std::string_view text, td::relay_server::RelayOptions& options) {
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
    options.address = std::string(address);
    options.port = static_cast<std::uint16_t>(std::stoul(port));
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
        if (i + 1 >= argc) {
            error = "unknown option or missing value: " + std::string(name);
            return false;
        }
        const std::string value = argv[++i];
        if (name == "--listen") {
            if (!parseListen(value, arguments.options)) {
                error = "--listen takes ADDRESS:PORT";
                return false;
            }
        } else if (name == "--cert") {
            arguments.options.certFile = value;
        } else if (name == "--key") {
            arguments.options.keyFile = value;
        } else if (name == "--max-body") {
            if (value.empty() || value.size() > 12 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                error = "--max-body takes a number of bytes";
                return false;
            }
            arguments.options.maxBody = std::stoull(value);
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

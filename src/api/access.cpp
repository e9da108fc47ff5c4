#include "api/access.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace td::api {
namespace {

bool isPortSuffix(std::string_view rest) {
    return rest.empty() || (rest.size() > 1 && rest.front() == ':' &&
                            rest.find_first_not_of("0123456789", 1) == std::string_view::npos);
}

// A Host header that names this computer's loopback: 127.0.0.1, localhost or [::1], with or
// without a port.
bool isLoopbackHost(std::string_view hostHeader) {
    for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"}) {
        if (hostHeader.starts_with(name) && isPortSuffix(hostHeader.substr(name.size()))) {
            return true;
        }
    }
    return false;
}

bool isOwnOrigin(std::string_view origin, std::uint16_t serverPort) {
    const std::string port = ":" + std::to_string(serverPort);
    for (std::string_view host : {"127.0.0.1", "localhost", "[::1]"}) {
        if (origin == "http://" + std::string(host) + port) {
            return true;
        }
    }
    return false;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The name in a Host header, without its port or brackets.
std::string_view hostName(std::string_view host) {
    if (host.starts_with('[')) {
        return host.substr(1, host.find(']') - 1);
    }
    return host.substr(0,
                       host.rfind(':') == std::string_view::npos ? host.size() : host.rfind(':'));
}

bool isIpv4Literal(std::string_view name) {
    return !name.empty() && name.find_first_not_of("0123456789.") == std::string_view::npos;
}

}  // namespace

bool browserSaysAnotherSite(const server::Request& request) {
    // "same-site" is another port or a sibling host: not our page either. A browser marks what
    // a page makes it send even where it sends no Origin (an <img>, a no-cors fetch).
    const auto site = request.header("sec-fetch-site");
    if (site && !equalsIgnoringCase(*site, "same-origin") && !equalsIgnoringCase(*site, "none")) {
        return true;
    }
    const auto origin = request.header("origin");
    if (!origin) {
        return false;
    }
    const std::size_t schemeEnd = origin->find("://");
    const auto host = request.header("host");
    return schemeEnd == std::string::npos || !host ||
           !equalsIgnoringCase(std::string_view(*origin).substr(schemeEnd + 3), *host);
}

bool isRebindableHost(std::string_view host) {
    const std::string_view name = hostName(host);
    if (name.find(':') != std::string_view::npos || isIpv4Literal(name) ||
        name.find('.') == std::string_view::npos) {
        return false;  // an address, or a name only the local network can give
    }
    for (std::string_view local : {".local", ".lan", ".home.arpa", ".internal", ".localdomain"}) {
        if (name.size() > local.size() &&
            equalsIgnoringCase(name.substr(name.size() - local.size()), local)) {
            return false;
        }
    }
    return true;
}

bool requestIsLocal(const server::Request& request, std::uint16_t serverPort) {
    if (request.source != server::RequestSource::loopback) {
        return false;
    }
    const auto host = request.header("host");
    if (!host || !isLoopbackHost(*host) || browserSaysAnotherSite(request)) {
        return false;
    }
    const auto origin = request.header("origin");
    return !origin || isOwnOrigin(*origin, serverPort);
}

std::optional<std::string> tokenOf(const server::Request& request) {
    if (auto token = request.header("x-td-token")) {
        return token;
    }
    // A browser's WebSocket can carry no header of its own: its token comes as a subprotocol,
    // and only there (an upgrade request) is one read.
    if (request.method != "GET" || !request.header("upgrade")) {
        return std::nullopt;
    }
    constexpr std::string_view PREFIX = "tapdeck-token.";
    const auto protocols = request.header("sec-websocket-protocol");
    std::string_view offered = protocols ? std::string_view(*protocols) : std::string_view();
    while (!offered.empty()) {
        const std::size_t comma = std::min(offered.find(','), offered.size());
        const std::string_view one = server::trimBlanks(offered.substr(0, comma));
        if (one.starts_with(PREFIX)) {
            return std::string(one.substr(PREFIX.size()));
        }
        offered.remove_prefix(std::min(comma + 1, offered.size()));
    }
    return std::nullopt;
}

bool hasValidToken(const server::Request& request, const store::Store& store) {
    const auto token = tokenOf(request);
    return token && store.tokenValid(*token);
}

bool isAllowed(Access access, const server::Request& request, const store::Store& store,
               std::uint16_t serverPort) {
    switch (access) {
        case Access::open:
            return true;
        case Access::localOrToken:
            return requestIsLocal(request, serverPort) || hasValidToken(request, store);
        case Access::token:
            return hasValidToken(request, store);
    }
    return false;
}

}  // namespace td::api

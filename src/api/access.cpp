#include "api/access.hpp"

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

// A browser marks what a page of another site makes it send, even where it sends no Origin (an
// <img>, a no-cors fetch); "same-site" is another port or a sibling host, not our page.
bool browserSaysAnotherSite(const server::Request& request) {
    const auto site = request.header("sec-fetch-site");
    return site && (*site == "cross-site" || *site == "same-site");
}

}  // namespace

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

bool hasValidToken(const server::Request& request, const store::Store& store) {
    const auto token = request.header("x-td-token");
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

#include "api/router.hpp"

#include <exception>

#include "common/log.hpp"
#include "server/static_files.hpp"

namespace td::api {

using server::ConnectionPtr;
using server::Request;

std::uint16_t ApiContext::port() const {
    const std::uint16_t listening = server.listeningPort();
    return listening != 0 ? listening : server.port();
}

Answer bound(const ApiContext& context, Handler handler) {
    return
        [&context, handler](const server::Request& request) { return handler(context, request); };
}

std::string ApiContext::relayUrl() const {
    std::string said = relayPhoneUrl ? relayPhoneUrl() : std::string();
    return said.empty() ? settings.relayPhonePageUrl(store.relayId()) : said;
}

bool MethodRule::matches(std::string_view requestMethod) const {
    switch (kind) {
        case Kind::any:
            return true;
        case Kind::only:
            return requestMethod == method;
        case Kind::allBut:
            return requestMethod != method;
    }
    return false;
}

Router::Router(ApiContext context, std::vector<Endpoint> extra)
    : context_(std::move(context)),
      table_(endpoints(context_)),
      staticFiles_(context_.server.publicDir()) {
    table_.insert(table_.end(), extra.begin(), extra.end());
}

const Endpoint* Router::find(std::string_view method, std::string_view path) const {
    for (const Endpoint& endpoint : table_) {
        const bool matches = endpoint.path.ends_with('/') ? path.size() > endpoint.path.size() &&
                                                                path.starts_with(endpoint.path)
                                                          : endpoint.path == path;
        if (matches && endpoint.method.matches(method)) {
            return &endpoint;
        }
    }
    return nullptr;
}

std::size_t Router::bodyLimit(const std::string& method, const std::string& path) const {
    const Endpoint* endpoint = find(method, path);
    return endpoint ? endpoint->maxBody : SMALL_BODY;
}

void Router::route(const ConnectionPtr& connection, Request request) const {
    if (request.method == "OPTIONS") {
        connection->send(server::textResponse(204, "text/plain", {}));
        return;
    }
    if (const Endpoint* endpoint = find(request.method, request.path)) {
        if (!admits(*endpoint, *connection, request)) {
            TD_LOG(http, request.method + " " + std::string(endpoint->path) +
                             ": refused by its access rule");
            connection->json({{"ok", false}}, endpoint->refusalStatus);
            return;
        }
        if (endpoint->runs == Runs::onWorkPool) {
            context_.server.runOnWorkPool(
                [this, endpoint, connection, request = std::move(request)] {
                    if (!connection->beginWork()) {
                        TD_LOG(http, request.method + " " + std::string(endpoint->path) +
                                         ": nobody waited for it to begin");
                        return;
                    }
                    run(*endpoint, connection, request);
                });
        } else {
            run(*endpoint, connection, request);
        }
        return;
    }
    if (request.method == "GET") {
        connection->sendRaw(staticFiles_.answer(request.encodedPath), true);
        return;
    }
    connection->json({{"ok", false}}, 404);
}

// On the network thread, while the socket is surely open: nothing here waits on a disk.
bool Router::admits(const Endpoint& endpoint, server::Connection& connection,
                    Request& request) const {
    // Whose process a loopback peer is matters only to a request that shows no token where
    // this computer itself may call.
    if (request.source == server::RequestSource::loopbackAddress &&
        endpoint.access == Access::localOrToken && !hasValidToken(request, context_.store) &&
        connection.peerIsThisUser()) {
        request.source = server::RequestSource::loopback;
    }
    return isAllowed(endpoint.access, request, context_.store, context_.port());
}

void Router::run(const Endpoint& endpoint, const ConnectionPtr& connection,
                 const Request& request) const {
    if (const JsonShape shape = shapeOf(request.body); shape != JsonShape::fits) {
        const char* why =
            shape == JsonShape::tooDeep ? "Body nested too deep" : "Body has an object too wide";
        TD_LOG(http, request.method + " " + std::string(endpoint.path) + ": " + why);
        connection->json({{"ok", false}, {"error", why}}, 400);
        return;
    }
    try {
        if (const auto* answer = std::get_if<Answer>(&endpoint.handler)) {
            connection->send((*answer)(request));
        } else {
            std::get<Takeover>(endpoint.handler)(connection, request);
        }
    } catch (const std::exception& e) {
        TD_LOG(http, request.method + " " + std::string(endpoint.path) + " failed: " + e.what());
        connection->json({{"ok", false}}, 500);
    }
}

}  // namespace td::api

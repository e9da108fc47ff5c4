#include "api/router.hpp"

#include "server/static_files.hpp"

namespace td::api {

using server::ConnectionPtr;
using server::Request;

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

std::vector<Endpoint> endpoints(server::Server& server) {
    return {
        {"/api/events", MethodRule::anyMethod(), Runs::onNetworkThread,
         Takeover([&server](const ConnectionPtr& connection, const Request&) {
             server.openSSE(connection);
         })},
    };
}

Router::Router(server::Server& server, std::vector<Endpoint> table)
    : server_(server), table_(std::move(table)) {}

const Endpoint* Router::find(const Request& request) const {
    for (const Endpoint& endpoint : table_) {
        if (endpoint.path == request.path && endpoint.method.matches(request.method)) {
            return &endpoint;
        }
    }
    return nullptr;
}

void Router::route(const ConnectionPtr& connection, Request request) const {
    if (request.method == "OPTIONS") {
        connection->send(server::textResponse(204, "text/plain", {}));
        return;
    }
    if (const Endpoint* endpoint = find(request)) {
        run(*endpoint, connection, std::move(request));
        return;
    }
    if (request.method == "GET") {
        connection->send(server::serveStatic(server_.publicDir(), request.path));
        return;
    }
    connection->json({{"ok", false}}, 404);
}

void Router::run(const Endpoint& endpoint, const ConnectionPtr& connection, Request request) const {
    auto call = [&endpoint, connection, request = std::move(request)] {
        if (const auto* answer = std::get_if<Answer>(&endpoint.handler)) {
            connection->send((*answer)(request));
        } else {
            std::get<Takeover>(endpoint.handler)(connection, request);
        }
    };
    if (endpoint.runs == Runs::onWorkPool) {
        server_.runOnWorkPool(std::move(call));
    } else {
        call();
    }
}

}  // namespace td::api

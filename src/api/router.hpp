#pragma once

#include <functional>
#include <string_view>
#include <variant>
#include <vector>

#include "server/connection.hpp"
#include "server/request.hpp"
#include "server/response.hpp"
#include "server/server.hpp"

namespace td::api {

// Which methods an endpoint answers.
struct MethodRule {
    enum class Kind { any, only, allBut };
    Kind kind = Kind::any;
    std::string_view method;

    static MethodRule anyMethod() { return {}; }
    static MethodRule only(std::string_view m) { return {Kind::only, m}; }
    static MethodRule allBut(std::string_view m) { return {Kind::allBut, m}; }
    bool matches(std::string_view requestMethod) const;
};

// Where a handler runs: cheap answers stay on the network thread; anything that may block
// (tools, the Store, pauses) goes to the work pool.
enum class Runs { onNetworkThread, onWorkPool };

// Most handlers take a request and give back an answer.
using Answer = std::function<server::Response(const server::Request&)>;
// A few keep the connection (event streams, deferred answers).
using Takeover = std::function<void(const server::ConnectionPtr&, const server::Request&)>;

struct Endpoint {
    std::string_view path;
    MethodRule method;
    Runs runs;
    std::variant<Answer, Takeover> handler;
};

// The API's single entry point: OPTIONS at once, then the endpoint table, then static files
// for GET, and 404 for the rest.
class Router {
  public:
    Router(server::Server& server, std::vector<Endpoint> table);

    void route(const server::ConnectionPtr& connection, server::Request request) const;

  private:
    const Endpoint* find(const server::Request& request) const;
    void run(const Endpoint& endpoint, const server::ConnectionPtr& connection,
             server::Request request) const;

    server::Server& server_;
    std::vector<Endpoint> table_;
};

// The agent's endpoint table.
std::vector<Endpoint> endpoints(server::Server& server);

}  // namespace td::api

#pragma once
// The exchanges of the HTTPS client, one translation unit per kind of stream, so that neither
// instantiation of the exchange makes a file slow to compile.

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/strand.hpp>
#include <functional>
#include <string>

#include "net/https_client.hpp"
#include "net/websocket.hpp"

namespace td::net {

// Where one request goes.
struct Target {
    bool tls = true;
    std::string host;
    std::string port;
    std::string path;

    // The Host field: the port too unless it is the scheme's own, since servers build their
    // absolute URLs from it.
    std::string hostField() const {
        const bool ipv6 = host.find(':') != std::string::npos;
        const std::string name = ipv6 ? "[" + host + "]" : host;
        return port == (tls ? "443" : "80") ? name : name + ":" + port;
    }
};

using SessionStrand = boost::asio::strand<boost::asio::io_context::executor_type>;

// Resolve, connect, write, read, each step on `strand`; `done` is called once.
void startPlainSession(const SessionStrand& strand, Target target, HttpRequest request,
                       std::function<void(HttpResponse)> done);
// A client WebSocket: resolve, connect, verified TLS handshake, upgrade, then messages, each on
// `strand`, where `tls` is first asked for the context.
std::shared_ptr<WebSocket> startWebSocket(const SessionStrand& strand,
                                          std::function<boost::asio::ssl::context&()> tls,
                                          Target target, WebSocketHandlers handlers);
// The same with a verified TLS handshake after connecting.
void startTlsSession(const SessionStrand& strand, boost::asio::ssl::context& tls, Target target,
                     HttpRequest request, std::function<void(HttpResponse)> done);

}  // namespace td::net

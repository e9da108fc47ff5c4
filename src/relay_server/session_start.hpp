#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "relay_server/hub.hpp"

namespace td::relay_server {

// Serves one accepted connection as plain HTTP (behind a TLS proxy), on the socket's executor.
void servePlain(boost::asio::ip::tcp::socket socket, Hub& hub);
// The same after a TLS handshake; `client`: the client's address when a proxy named it.
void serveTls(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& tls, Hub& hub,
              std::string client = {});
// In passthrough mode: reads the ClientHello's server name, then serves the relay's own TLS,
// carries the connection unread to its agent, or closes it.
void routeByServerName(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& tls,
                       Hub& hub);
// Answers one request on the metrics listener: GET /metrics or /healthz.
void serveMetrics(boost::asio::ip::tcp::socket socket, Hub& hub);

}  // namespace td::relay_server

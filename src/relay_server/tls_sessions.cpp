#include "relay_server/sessions.hpp"

namespace td::relay_server {

void serveTls(tcp::socket socket, asio::ssl::context& tls, Hub& hub, std::string client) {
    std::string peer = client.empty() ? peerOf(socket) : std::move(client);
    std::make_shared<PhoneSession<TlsStream>>(TlsStream(std::move(socket), tls.native_handle()),
                                              hub, std::move(peer))
        ->start();
}

}  // namespace td::relay_server

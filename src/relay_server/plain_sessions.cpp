#include "relay_server/sessions.hpp"

namespace td::relay_server {

void servePlain(tcp::socket socket, Hub& hub) {
    std::string peer = peerOf(socket);
    std::make_shared<PhoneSession<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)), hub,
                                                      std::move(peer))
        ->start();
}

}  // namespace td::relay_server

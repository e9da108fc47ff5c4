#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/response.hpp"

namespace td::server {

// One accepted client connection, as handlers see it. Writes are queued and leave in the order
// they were made; every method may be called from any thread.
class Connection {
  public:
    // Told whether the bytes were written; called on the connection's own strand.
    using WriteDone = std::function<void(bool ok)>;

    virtual ~Connection() = default;

    // Writes the bytes as one send; when `close`, the connection ends once they have left.
    virtual void sendRaw(std::shared_ptr<const std::string> bytes, bool close,
                         WriteDone done = {}) = 0;

    // Ends the connection now; queued writes are abandoned.
    virtual void close() = 0;

    void sendRaw(std::string bytes, bool close, WriteDone done = {}) {
        sendRaw(std::make_shared<const std::string>(std::move(bytes)), close, std::move(done));
    }

    // Answers the request and ends the connection.
    virtual void send(const Response& response) { sendRaw(serialize(response), true); }
    void json(const Json& object, int status = 200) { send(jsonResponse(object, status)); }
};

using ConnectionPtr = std::shared_ptr<Connection>;

}  // namespace td::server

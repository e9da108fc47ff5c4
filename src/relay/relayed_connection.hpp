#pragma once

#include <atomic>
#include <functional>

#include "server/connection.hpp"

namespace td::relay {

// The connection a replayed request is answered on: it hands the one answer to `done` instead
// of writing it to a socket. An event stream gets its head's status and type with no body (the
// relay carries one answer per request), and its later writes fail, which drops it; a connection
// dropped without an answer is answered 500 with nothing else.
class RelayedConnection final : public server::Connection {
  public:
    using Done = std::function<void(server::Response)>;
    explicit RelayedConnection(Done done) : done_(std::move(done)) {}
    ~RelayedConnection() override;

    void send(const server::Response& response) override;
    void sendRaw(std::shared_ptr<const std::string> bytes, bool close, WriteDone done) override;
    void close() override;
    bool beginWork() override;
    bool canStream() const override { return false; }
    using Connection::sendRaw;

    // The relay will not wait for the answer any longer: answers now, 503 when the work has not
    // begun (and then it never does), else 202 (it goes on); a later answer is dropped.
    void giveUp();

  private:
    enum class State { waiting, working, answered };
    void answer(server::Response response);
    void deliver(server::Response response);

    Done done_;
    std::atomic<State> state_{State::waiting};
};

}  // namespace td::relay

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/relay_envelope.hpp"
#include "common/relay_proof.hpp"
#include "net/websocket.hpp"
#include "relay/relayed_connection.hpp"
#include "relay/tls_streams.hpp"
#include "server/request.hpp"
#include "server/response.hpp"

namespace td::relay {

// What the client needs from the agent, as plain functions: tests drive it with no server.
struct RelayLinks {
    // Opens the socket (the agent's verifying WSS client).
    std::function<std::shared_ptr<net::WebSocket>(const std::string& url,
                                                  net::WebSocketHandlers handlers)>
        openSocket;
    // Answers one replayed request on `connection`, which takes one answer, from any thread.
    std::function<void(server::ConnectionPtr connection, server::Request)> replay;
    // Runs `task` on the main thread after `delay`.
    std::function<void(std::chrono::milliseconds delay, std::function<void()> task)> runLater;
    // Told when the connection comes up (true) and when a connection that was up is lost
    // (false), once per loss; on the client's thread.
    std::function<void(bool connected)> connectionChanged;
    // The agent's key and its signature of `message`, for a relay that asks the agent to prove
    // its identifier; nothing when the agent has no key (such a relay then closes the socket).
    std::function<std::optional<Proof>(std::string_view message)> prove;
    // For a relay that passes phones' TLS unread: the agent's server takes the plain end of a
    // stream as a connection from `peer`, and `streamTls` holds this computer's certificate
    // (nothing until it has one). Unset: such streams are closed at once.
    std::function<void(int fd, std::string peer)> adoptConnection;
    std::function<std::shared_ptr<SSL_CTX>()> streamTls;
    // Told, at each connection's challenge, whether the relay passes phones' TLS unread (and
    // so needs this computer's own certificate).
    std::function<void(bool streams)> streamsOffered;
};

// The request a request envelope describes, marked as relayed: never this computer's own,
// whatever socket it came through. Header names are lower-cased, later ones replacing earlier;
// nothing when the path is not a path.
std::optional<server::Request> relayedRequest(const RequestEnvelope& envelope);

// The agent's one connection to the relay service: a WebSocket on which phones' requests arrive
// as request envelopes; each is replayed into the agent's own router (in-process, so it is
// answered by the same endpoints on the port the server really uses, and marked relayed) and
// answered with a reply envelope. A lost connection is opened again every 5 seconds while the
// client is enabled. A request not answered by its deadline is answered then (the relay waits no
// longer), and what its work answers later is dropped. Every method may be called from any
// thread.
class RelayClient : public std::enable_shared_from_this<RelayClient> {
  public:
    static constexpr std::chrono::milliseconds RECONNECT_DELAY{5'000};
    // Requests being answered at once; past it a request is answered 503 at once (the relay
    // service itself allows as many).
    static constexpr std::size_t MAX_REPLAYS_IN_FLIGHT = 64;
    // A relay waits 30 s for an answer; this leaves the answer time to reach it.
    static constexpr std::chrono::milliseconds REPLAY_DEADLINE{25'000};

    // `socketUrl`: the relay's socket address for this agent; opens nothing yet.
    // `streamsSocketUrl`: the same relay at this agent's own name (ID.t.DOMAIN), where a relay
    // that passes phones' connections wants it (a proxy routing by name then sends the agent
    // and its phones to one instance); the client moves there once such a relay says so.
    static std::shared_ptr<RelayClient> create(
        std::string relayId, std::string socketUrl, RelayLinks links,
        std::chrono::milliseconds replayDeadline = REPLAY_DEADLINE,
        std::string streamsSocketUrl = {});

    const std::string& relayId() const { return relayId_; }
    bool enabled() const;
    // From false to true starts the connection; from true to false stops it; the same value
    // again does nothing.
    void setEnabled(bool enabled);
    // True while the socket is up.
    bool isConnected() const;
    // Where the relay said this agent's phones go, without the trailing "/"; empty until a
    // relay said.
    std::string phoneUrl() const;

    // (Re)opens the connection when enabled; only closes it otherwise.
    void start();
    // Closes the connection (code 1000) and cancels a pending reconnect.
    void stop();

  private:
    RelayClient(std::string relayId, std::string socketUrl, RelayLinks links,
                std::chrono::milliseconds replayDeadline, std::string streamsSocketUrl);

    void startLocked();
    void stopLocked();
    // The handlers of connection number `connection`; events of a connection that has since
    // been replaced are ignored, so its late failure never schedules a reconnect.
    net::WebSocketHandlers listen(std::uint64_t connection);
    void opened(std::uint64_t connection);
    void ended(std::uint64_t connection, const std::string& why);
    void scheduleReconnectLocked();
    void reconnect(std::uint64_t ticket);
    void handle(std::uint64_t connection, const std::string& text);
    // A stream frame of connection `connection`.
    void handleFrame(std::uint64_t connection, std::string message);
    std::shared_ptr<TlsStreams> streamsFor(std::uint64_t connection);
    // Closes connection `connection` (its relay broke the streams' rules) and opens another.
    void dropConnection(std::uint64_t connection);
    // The streams of a connection that ended end too.
    void endStreamsLocked();
    void answerChallenge(const Challenge& challenge, const std::shared_ptr<net::WebSocket>& socket);
    // Sends the answer on the connection the request came on, and only while it is current: a
    // relay (or the same one after a restart) never hears of requests it did not send.
    void reply(std::uint64_t connection, const std::string& reqId,
               const server::Response& response);
    // Answers the replays past their deadline; while others wait, runs again at the next one.
    void giveUpOverdue();

    const std::string relayId_;
    const std::string socketUrl_;
    const std::string streamsSocketUrl_;
    const RelayLinks links_;
    const std::chrono::milliseconds replayDeadline_;

    mutable std::mutex mutex_;  // guards every field below
    std::shared_ptr<net::WebSocket> socket_;
    std::uint64_t connection_ = 0;       // number of the current connection
    std::uint64_t reconnectTicket_ = 0;  // the pending reconnect's; 0: none
    std::uint64_t lastTicket_ = 0;
    bool isConnected_ = false;
    bool awaitingFirstMessage_ = false;  // a relay that asks for a proof asks first
    bool binaryReplies_ = false;         // the relay reads replies as binary messages
    bool atOwnName_ = false;             // connecting at streamsSocketUrl_
    bool ownNameOpened_ = false;         // a connection there opened since
    std::string phoneUrl_;
    bool enabled_ = false;
    struct Replay {
        std::chrono::steady_clock::time_point deadline;
        std::weak_ptr<RelayedConnection> connection;
    };
    // By connection and reqId, until answered.
    std::map<std::pair<std::uint64_t, std::string>, Replay> replays_;
    bool deadlineCheckPending_ = false;
    // The current connection's streams, made at its first stream.
    std::shared_ptr<TlsStreams> streams_;
};

}  // namespace td::relay

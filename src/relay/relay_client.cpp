#include "relay/relay_client.hpp"

#include <algorithm>
#include <cctype>

#include "common/log.hpp"
#include "common/web_url.hpp"

namespace td::relay {
namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

server::Response refusal(int status) {
    return server::jsonResponse({{"ok", false}}, status);
}

// The reply as a text envelope, or as one binary message for a relay that reads them; a 502 in
// its place when it would be larger than a relay reads.
std::string replyMessage(const std::string& reqId, const server::Response& response, bool binary) {
    const auto write = binary ? writeBinaryReply : writeReplyEnvelope;
    std::string message = write({reqId, response.status, response.contentType, response.body});
    if (message.size() > MAX_REPLY_ENVELOPE_BYTES) {
        TD_LOG(relay, "an answer too large to carry was replaced by a 502");
        return write(
            {reqId, 502, "text/plain", "The answer is too large to carry through the relay"});
    }
    return message;
}

}  // namespace

std::optional<server::Request> relayedRequest(const RequestEnvelope& envelope) {
    if (!envelope.path.starts_with('/')) {
        return std::nullopt;
    }
    server::Request request;
    request.method = envelope.method;
    server::applyTarget(envelope.path, request);
    for (const auto& [name, value] : envelope.headers) {
        request.headers[lowerCase(std::string(server::trimBlanks(name)))] =
            std::string(server::trimBlanks(value));
    }
    request.body = envelope.body;
    request.source = server::RequestSource::relay;
    request.peer = "relay";
    return request;
}

std::shared_ptr<RelayClient> RelayClient::create(std::string relayId, std::string socketUrl,
                                                 RelayLinks links,
                                                 std::chrono::milliseconds replayDeadline,
                                                 std::string streamsSocketUrl) {
    return std::shared_ptr<RelayClient>(new RelayClient(std::move(relayId), std::move(socketUrl),
                                                        std::move(links), replayDeadline,
                                                        std::move(streamsSocketUrl)));
}

RelayClient::RelayClient(std::string relayId, std::string socketUrl, RelayLinks links,
                         std::chrono::milliseconds replayDeadline, std::string streamsSocketUrl)
    : relayId_(std::move(relayId)),
      socketUrl_(std::move(socketUrl)),
      streamsSocketUrl_(std::move(streamsSocketUrl)),
      links_(std::move(links)),
      replayDeadline_(replayDeadline) {}

bool RelayClient::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void RelayClient::setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    if (enabled) {
        startLocked();
    } else {
        stopLocked();
    }
}

bool RelayClient::isConnected() const {
    std::lock_guard lock(mutex_);
    return isConnected_;
}

std::string RelayClient::phoneUrl() const {
    std::lock_guard lock(mutex_);
    return phoneUrl_;
}

void RelayClient::start() {
    std::lock_guard lock(mutex_);
    startLocked();
}

void RelayClient::stop() {
    std::lock_guard lock(mutex_);
    stopLocked();
}

void RelayClient::startLocked() {
    stopLocked();
    if (!enabled_) {
        return;
    }
    // The socket calls back only on its own thread, after this returns: holding the lock
    // while it opens cannot deadlock.
    awaitingFirstMessage_ = true;
    binaryReplies_ = false;
    socket_ = links_.openSocket(atOwnName_ ? streamsSocketUrl_ : socketUrl_, listen(++connection_));
}

void RelayClient::handleFrame(std::uint64_t connection, std::string message) {
    if (const auto streams = streamsFor(connection)) {
        streams->onMessage(std::move(message));
    }
}

std::shared_ptr<TlsStreams> RelayClient::streamsFor(std::uint64_t connection) {
    std::lock_guard lock(mutex_);
    if (connection != connection_ || !socket_) {
        return nullptr;
    }
    if (!streams_) {
        TlsStreams::Links links;
        links.send = [socket = std::weak_ptr(socket_)](std::string frame) {
            if (const auto open = socket.lock()) {
                open->sendBinary(std::move(frame));
            }
        };
        links.adopt = links_.adoptConnection ? links_.adoptConnection
                                             : [](int fd, const std::string&) { ::close(fd); };
        links.tls = links_.streamTls;
        // On the main thread: the streams are ended there, never on their own thread.
        links.broken = [weak = weak_from_this(), connection,
                        runLater = links_.runLater](const std::string& why) {
            TD_LOG(relay, "closing the relay's connection: " + why);
            runLater(std::chrono::milliseconds(0), [weak, connection] {
                if (auto self = weak.lock()) {
                    self->dropConnection(connection);
                }
            });
        };
        streams_ = std::make_shared<TlsStreams>(std::move(links));
    }
    return streams_;
}

void RelayClient::dropConnection(std::uint64_t connection) {
    std::lock_guard lock(mutex_);
    if (connection == connection_ && socket_) {
        startLocked();  // a new connection, with new streams
    }
}

void RelayClient::endStreamsLocked() {
    streams_.reset();  // closes every stream; never on the streams' own thread
}

void RelayClient::stopLocked() {
    reconnectTicket_ = 0;
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
    endStreamsLocked();
    isConnected_ = false;
}

net::WebSocketHandlers RelayClient::listen(std::uint64_t connection) {
    net::WebSocketHandlers handlers;
    auto weak = weak_from_this();
    handlers.onOpen = [weak, connection] {
        if (auto self = weak.lock()) {
            self->opened(connection);
        }
    };
    handlers.onText = [weak, connection](std::string text) {
        if (auto self = weak.lock()) {
            self->handle(connection, text);
        }
    };
    handlers.onBinary = [weak, connection](std::string bytes) {
        if (auto self = weak.lock()) {
            self->handleFrame(connection, std::move(bytes));
        }
    };
    handlers.onEnd = [weak, connection](const std::string& why) {
        if (auto self = weak.lock()) {
            self->ended(connection, why);
        }
    };
    handlers.maxMessageBytes = MAX_REQUEST_ENVELOPE_BYTES;
    return handlers;
}

void RelayClient::opened(std::uint64_t connection) {
    {
        std::lock_guard lock(mutex_);
        if (connection != connection_ || !socket_) {
            return;
        }
        isConnected_ = true;
        ownNameOpened_ = ownNameOpened_ || atOwnName_;
    }
    if (links_.connectionChanged) {
        links_.connectionChanged(true);
    }
}

void RelayClient::ended(std::uint64_t connection, const std::string& why) {
    bool lost = false;
    {
        std::lock_guard lock(mutex_);
        if (connection != connection_ || !socket_) {
            return;  // a connection already replaced or closed on purpose
        }
        lost = isConnected_;
        isConnected_ = false;
        socket_.reset();
        endStreamsLocked();
        if (atOwnName_ && !ownNameOpened_) {
            atOwnName_ = false;  // the relay's own name cannot be reached: back to its shared one
        }
        scheduleReconnectLocked();
    }
    TD_LOG(relay, "connection ended: " + why);
    if (lost && links_.connectionChanged) {
        links_.connectionChanged(false);
    }
}

void RelayClient::scheduleReconnectLocked() {
    if (!enabled_) {
        return;
    }
    const std::uint64_t ticket = ++lastTicket_;
    reconnectTicket_ = ticket;
    links_.runLater(RECONNECT_DELAY, [weak = weak_from_this(), ticket] {
        if (auto self = weak.lock()) {
            self->reconnect(ticket);
        }
    });
}

void RelayClient::reconnect(std::uint64_t ticket) {
    std::lock_guard lock(mutex_);
    if (ticket == reconnectTicket_) {  // not cancelled by a stop or start since
        startLocked();
    }
}

void RelayClient::handle(std::uint64_t connection, const std::string& text) {
    bool first = false;
    std::shared_ptr<net::WebSocket> current;
    {
        std::lock_guard lock(mutex_);
        if (connection != connection_) {
            return;  // a connection closed since: its socket is gone
        }
        first = std::exchange(awaitingFirstMessage_, false);
        current = socket_;
    }
    if (first) {
        if (const auto challenge = readChallenge(text)) {
            return answerChallenge(*challenge, current);
        }
    }
    const auto envelope = readRequestEnvelope(text);
    if (!envelope) {
        return;  // dropped without a reply: the relay's own time-out answers the phone
    }
    auto request = relayedRequest(*envelope);
    const std::string& reqId = envelope->reqId;
    std::shared_ptr<RelayedConnection> replayed;
    std::shared_ptr<net::WebSocket> socket;
    bool scheduleCheck = false;
    int refusedWith = 400;  // a path that is not one, or a request id already in use
    {
        std::lock_guard lock(mutex_);
        socket = socket_;
        if (replays_.size() >= MAX_REPLAYS_IN_FLIGHT) {
            refusedWith = 503;
        } else if (request && !replays_.contains({connection, reqId})) {
            replayed = std::make_shared<RelayedConnection>(
                [weak = weak_from_this(), connection, reqId](server::Response response) {
                    if (auto self = weak.lock()) {
                        self->reply(connection, reqId, response);
                    }
                });
            replays_.emplace(std::pair(connection, reqId),
                             Replay{std::chrono::steady_clock::now() + replayDeadline_, replayed});
            scheduleCheck = !std::exchange(deadlineCheckPending_, true);
        }
    }
    if (!replayed) {
        TD_LOG(relay, "a relayed request was refused with " + std::to_string(refusedWith));
        if (socket) {
            socket->sendText(replyMessage(reqId, refusal(refusedWith), /*binary=*/false));
        }
        return;
    }
    if (scheduleCheck) {
        links_.runLater(replayDeadline_, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->giveUpOverdue();
            }
        });
    }
    links_.replay(std::move(replayed), std::move(*request));
}

void RelayClient::giveUpOverdue() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<RelayedConnection>> overdue;
    std::optional<std::chrono::steady_clock::time_point> next;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, replay] : replays_) {
            if (replay.deadline > now) {
                next = std::min(next.value_or(replay.deadline), replay.deadline);
            } else if (auto connection = replay.connection.lock()) {
                overdue.push_back(std::move(connection));
            }
        }
        deadlineCheckPending_ = next.has_value();
    }
    if (!overdue.empty()) {
        TD_LOG(relay, std::to_string(overdue.size()) +
                          " relayed requests were answered at their deadline; their work goes on");
    }
    for (const auto& connection : overdue) {
        connection->giveUp();  // which answers, through reply()
    }
    if (next) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
        links_.runLater(wait, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->giveUpOverdue();
            }
        });
    }
}

void RelayClient::answerChallenge(const Challenge& challenge,
                                  const std::shared_ptr<net::WebSocket>& socket) {
    if (!socket) {
        return;
    }
    const auto proof =
        links_.prove ? links_.prove(proofMessage(socket->host(), relayId_, challenge.challenge))
                     : std::nullopt;
    if (!proof) {
        TD_LOG(relay,
               "the relay asks for a proof of the identifier, and there is no key to sign it");
        return;
    }
    socket->sendText(writeProof(*proof));
    if (links_.streamsOffered) {
        links_.streamsOffered(challenge.streams);
    }
    std::lock_guard lock(mutex_);
    if (challenge.streams && !atOwnName_ && !streamsSocketUrl_.empty()) {
        // Such a relay may be several behind a proxy that routes by name: this agent's phones
        // reach the instance its own name leads to, and so must the agent.
        atOwnName_ = true;
        links_.runLater(std::chrono::milliseconds(0), [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->start();
            }
        });
        return;
    }
    binaryReplies_ = challenge.binaryReplies;
    // The relay carries the phones' requests already; its word on where they go is taken only
    // when it is an address a phone can open.
    if (isHttpsUrl(challenge.phoneUrl) && challenge.phoneUrl.ends_with('/')) {
        phoneUrl_ = challenge.phoneUrl.substr(0, challenge.phoneUrl.size() - 1);
    }
}

void RelayClient::reply(std::uint64_t connection, const std::string& reqId,
                        const server::Response& response) {
    std::shared_ptr<net::WebSocket> socket;
    bool binary = false;
    {
        std::lock_guard lock(mutex_);
        replays_.erase({connection, reqId});
        if (connection != connection_) {
            return;  // that connection is gone, and with it whoever waited
        }
        socket = socket_;
        binary = binaryReplies_;
    }
    if (!socket) {
        return;
    }
    if (binary) {
        socket->sendBinary(replyMessage(reqId, response, true));
    } else {
        socket->sendText(replyMessage(reqId, response, false));
    }
}

}  // namespace td::relay

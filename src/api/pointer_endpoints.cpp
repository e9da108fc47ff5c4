#include <algorithm>
#include <string_view>

#include "api/access.hpp"
#include "api/handlers.hpp"
#include "api/pointer_lane.hpp"
#include "common/json_read.hpp"
#include "common/log.hpp"

namespace td::api::handlers {
namespace {

constexpr std::string_view POINTER_PROTOCOL = "tapdeck-pointer";
// A phone sends a batch per animation frame (240 a second on the fastest screens). What a flood
// of messages can queue is bounded by the lane, which stops reading a socket past its share, so
// this bounds only the cost of reading them (a few percent of a core), far above any touchpad.
constexpr std::size_t POINTER_MESSAGES_PER_SECOND = 10'000;
// A touchpad left open but untouched is closed after this (the page opens it again).
constexpr std::chrono::seconds POINTER_IDLE{120};

Response refused(int status, std::string error) {
    return server::jsonResponse({{"ok", false}, {"error", std::move(error)}}, status);
}

// The subprotocols a WebSocket client offered: comma-separated, blanks around each.
std::vector<std::string_view> offeredProtocols(std::string_view header) {
    std::vector<std::string_view> out;
    while (!header.empty()) {
        const std::size_t comma = std::min(header.find(','), header.size());
        out.push_back(server::trimBlanks(header.substr(0, comma)));
        header.remove_prefix(std::min(comma + 1, header.size()));
    }
    return out;
}

// Whose events these are: a phone by its token, whatever addresses it sends from (a phone has
// several, and the relay carries many phones from one), else the address.
std::string senderOf(const Request& request) {
    return tokenOf(request).value_or(request.peer);
}

}  // namespace

void postPointer(const ApiContext& context, const server::ConnectionPtr& connection,
                 const Request& request) {
    const UntrustedJson body = server::bodyJSON(request);
    const UntrustedJson* events = jsonread::member(body, "events");
    auto read = events ? host::readPointerEvents(*events) : std::nullopt;
    if (!read) {
        return connection->send(refused(400, "Invalid pointer events"));
    }
    // Queued in the touchpad's lane, in order with the sockets' events, here on the network
    // thread: no worker is taken (they may all wait on slow actions), none waits on the pointer.
    auto queue = [&context, connection,
                  sender = senderOf(request)](std::vector<host::PointerEvent> batch) {
        if (!context.pointerLane->post(context.pointer, std::move(batch), sender)) {
            return connection->send(refused(503, "The pointer is busy: send the next frame"));
        }
        connection->json({{"ok", true}});
    };
    if (context.pointer.trusted()) {
        return queue(std::move(*read));
    }
    // Asking the desktop may wait (the portal's remembered grant): on a worker.
    context.server.runOnWorkPool([&context, connection, queue, batch = std::move(*read)]() mutable {
        if (!connection->beginWork()) {
            return;  // the relay stopped waiting: sent again, it would be applied twice
        }
        if (!context.pointer.requestAccess()) {
            return connection->json({{"ok", false}, {"error", context.pointer.unavailableText()}});
        }
        queue(std::move(batch));
    });
}

void pointerSocket(const ApiContext& context, const server::ConnectionPtr& connection,
                   const Request& request) {
    // Its access rule let it in: from this computer, or with a token (as a subprotocol).
    const std::string offeredHeader = request.header("sec-websocket-protocol").value_or("");
    const auto offered = offeredProtocols(offeredHeader);
    if (std::find(offered.begin(), offered.end(), POINTER_PROTOCOL) == offered.end()) {
        return connection->send(refused(400, "Ask for the tapdeck-pointer protocol"));
    }
    auto lane = context.pointerLane;
    const auto socket = lane->admitSocket(senderOf(request));
    if (!socket) {
        return connection->send(refused(429, "Too many touchpads open from this phone"));
    }
    // Only what answers at once, on this thread: a desktop that must be asked is asked by the
    // page's POST, and the page opens the socket again later.
    if (!context.pointer.trusted()) {
        lane->releaseSocket(*socket);
        return connection->send(refused(503, context.pointer.unavailableText()));
    }
    server::SocketHandlers handlers;
    host::Pointer* pointer = &context.pointer;
    handlers.onMessage = [lane, pointer, socket = *socket,
                          weak = std::weak_ptr(connection)](std::string_view message) {
        const auto events = parseJson(message);
        auto read = events ? host::readPointerEvents(*events) : std::nullopt;
        if (!read) {
            TD_LOG(http, "a touchpad message broke the rules: the socket is closed");
            return server::Taken::refused;
        }
        // While it waits for room, nothing but the lane holds the connection (no read is
        // pending): the lane keeps it until it reads on.
        const bool room = lane->postFromSocket(*pointer, std::move(*read), socket,
                                               [connection = weak.lock()] {
                                                   if (connection) {
                                                       connection->resumeReading();
                                                   }
                                               });
        return room ? server::Taken::readOn : server::Taken::waitForRoom;
    };
    handlers.onClose = [lane, socket = *socket] { lane->releaseSocket(socket); };
    server::SocketOptions options{std::string(POINTER_PROTOCOL), POINTER_BODY, POINTER_IDLE,
                                  POINTER_MESSAGES_PER_SECOND};
    if (!connection->becomeWebSocket(request, std::move(options), std::move(handlers))) {
        lane->releaseSocket(*socket);
        connection->send(refused(400, "No WebSocket here: send POST /api/pointer"));
    }
}

}  // namespace td::api::handlers

#include "relay/relayed_connection.hpp"

#include <strings.h>

#include <charconv>

namespace td::relay {
namespace {

// Status and Content-Type of the head that starts `bytes` ("HTTP/1.1 200 OK\r\n…").
server::Response headOnly(std::string_view bytes) {
    server::Response response{500, {}, {}, {}};
    const std::string_view head = bytes.substr(0, bytes.find("\r\n\r\n"));
    if (head.size() > 12 && head.starts_with("HTTP/1.1 ")) {
        std::from_chars(head.data() + 9, head.data() + 12, response.status);
    }
    constexpr std::string_view FIELD = "\r\ncontent-type:";
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
         at = head.find("\r\n", at + 2)) {
        if (head.size() - at > FIELD.size() &&
            strncasecmp(head.data() + at, FIELD.data(), FIELD.size()) == 0) {
            const std::size_t start = head.find_first_not_of(' ', at + FIELD.size());
            const std::size_t end = head.find("\r\n", at + 2);
            if (start < end) {
                response.contentType = std::string(head.substr(start, end - start));
            }
        }
    }
    return response;
}

}  // namespace

RelayedConnection::~RelayedConnection() {
    answer(server::Response{500, {}, {}, {}});
}

void RelayedConnection::send(const server::Response& response) {
    answer(response);
}

void RelayedConnection::sendRaw(std::shared_ptr<const std::string> bytes, bool close,
                                WriteDone done) {
    if (state_.load() != State::answered) {
        server::Response response = headOnly(*bytes);
        const std::size_t bodyStart = bytes->find("\r\n\r\n");
        if (close && bodyStart != std::string::npos) {
            response.body = bytes->substr(bodyStart + 4);  // a whole answer, written raw
        }
        answer(std::move(response));
    }
    if (done) {
        done(false);  // nothing more reaches the phone: the stream ends with its head
    }
}

void RelayedConnection::close() {
    answer(server::Response{500, {}, {}, {}});
}

bool RelayedConnection::beginWork() {
    State waiting = State::waiting;
    return state_.compare_exchange_strong(waiting, State::working);
}

void RelayedConnection::giveUp() {
    State waiting = State::waiting;
    if (state_.compare_exchange_strong(waiting, State::answered)) {
        return deliver(server::jsonResponse(
            {{"ok", false}, {"error", "The computer was too busy to begin this in time"}}, 503));
    }
    State working = State::working;
    if (state_.compare_exchange_strong(working, State::answered)) {
        deliver(server::jsonResponse(
            {{"ok", true},
             {"pending", true},
             {"message", "Still at it on the computer: the relay does not wait for the end"}},
            202));
    }
}

void RelayedConnection::answer(server::Response response) {
    if (state_.exchange(State::answered) != State::answered) {
        deliver(std::move(response));
    }
}

void RelayedConnection::deliver(server::Response response) {
    auto done = std::move(done_);
    done(std::move(response));
}

}  // namespace td::relay

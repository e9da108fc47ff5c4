#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The messages between the relay service and an agent: one JSON object per WebSocket text
// message. The relay sends a phone's request down as a request envelope; the agent answers it
// with a reply envelope carrying the same `reqId`.
namespace td::relay {

// The largest body an agent answers with: a configuration of 1 MiB read back, an image.
inline constexpr std::size_t MAX_REPLY_BODY_BYTES = 2 * 1024 * 1024;
// The largest reply a relay reads: such a body with every byte escaped (a quote becomes \"),
// or as base64, and the other members.
inline constexpr std::size_t MAX_REPLY_ENVELOPE_BYTES = 2 * MAX_REPLY_BODY_BYTES + 64 * 1024;
// The largest request an agent reads: as much as a request to its own port may carry.
inline constexpr std::size_t MAX_REQUEST_ENVELOPE_BYTES = 8 * 1024 * 1024;
// Arrays, objects, members and elements of an envelope: a request's headers (a hundred at most)
// and a few more; anything past it is refused before it is parsed.
inline constexpr std::size_t MAX_ENVELOPE_VALUES = 1024;

struct RequestEnvelope {
    std::string reqId;
    std::string method;
    std::string path;  // the target: a path with an optional query
    // By name (JSON gives no order); of two names that differ only in letter case, the one that
    // sorts later replaces the other where the request is built.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // empty: no body
};

// The request, or nothing when the message is to be dropped without a reply: not a JSON
// object, too deep or too wide, or without string `reqId`, `method` and `path`. A `headers` member
// with any value that is not a string is ignored as a whole; a `body` that is not a string means
// none.
std::optional<RequestEnvelope> readRequestEnvelope(std::string_view text);
std::string writeRequestEnvelope(const RequestEnvelope& envelope);

struct ReplyEnvelope {
    std::string reqId;
    int status = 500;
    std::string contentType;  // empty: the answer had none
    std::string body;         // any bytes
};

// Compact JSON with `reqId`, `status`, `headers` ({"Content-Type": …} or {}) and `body`. A body
// that is not UTF-8 goes as "" in `body` and as base64 in `bodyBase64`, which relays that do not
// know it ignore.
std::string writeReplyEnvelope(const ReplyEnvelope& envelope);

// The reply, or nothing when it is malformed: no string `reqId`, a `status` that is not an
// integer from 100 to 599, or a `bodyBase64` that is not base64. `bodyBase64` wins over `body`.
std::optional<ReplyEnvelope> readReplyEnvelope(std::string_view text);

// The same reply as one binary message, for a relay that offers to read it: the head as compact
// JSON with `reqId`, `status` and `headers`, a line feed, then the body's bytes as they are.
// Neither side escapes, checks or parses a byte of the body, which is most of a reply.
std::string writeBinaryReply(const ReplyEnvelope& envelope);
// Nothing when the head is no reply head (as above), longer than MAX_BINARY_REPLY_HEAD, or the
// message larger than MAX_REPLY_ENVELOPE_BYTES.
std::optional<ReplyEnvelope> readBinaryReply(std::string_view message);
inline constexpr std::size_t MAX_BINARY_REPLY_HEAD = 16 * 1024;

}  // namespace td::relay

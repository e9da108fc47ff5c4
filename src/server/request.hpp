#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace td::server {

// Where a request came from. Only `loopback` can ever be this computer itself: a socket from a
// loopback address arrives as `loopbackAddress`, as remote as the network until the kernel
// confirmed that its peer is this user's own process (which costs a lookup, so it is asked only
// for a request whose access depends on it). A request that the relay client replays is `relay`,
// whatever socket it arrived on.
enum class RequestSource { network, loopbackAddress, loopback, relay };

// One parsed request. Header names are trimmed and lower-cased; path and query are
// percent-decoded (a `+` stays a `+`).
struct Request {
    std::string method;
    std::string path;
    std::string encodedPath;  // as sent: static files judge each segment before decoding it
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers;
    std::string body;
    // A body that streams (its endpoint's limit is STREAMED_BODY): its declared length, and
    // `body` is empty; the handler reads it from the connection (Connection::readBody).
    std::uint64_t streamedBody = 0;
    RequestSource source = RequestSource::network;
    std::string peer;  // the peer's address, as text; empty for requests not from a socket

    // The header's value, or nothing when the request has no such header.
    std::optional<std::string> header(const std::string& lowerCaseName) const;
};

// The request line and header fields of a header block (the bytes before CR LF CR LF).
struct RequestHead {
    std::string method = "GET";
    std::string target = "/";
    std::map<std::string, std::string> headers;
    std::int64_t declaredLength = 0;
};

RequestHead parseHead(std::string_view headerBlock);

// Fills `path`, `encodedPath` and `query` from a request target; a target that is not a URI
// reference becomes the path as sent, with no query.
void applyTarget(std::string_view target, Request& request);

// A `content-length` value as a signed decimal; anything unparsable (or out of range) is 0.
std::int64_t parseContentLength(std::string_view value);

// A decimal port: an optional `+`, digits, at most 65535, nothing else.
std::optional<std::uint16_t> parsePort(std::string_view text);

// Blanks (space, tab and the other Unicode space separators) removed from both ends of UTF-8
// text; line breaks are kept.
std::string_view trimBlanks(std::string_view text);

// The largest body a request to `path` with `method` may carry; decided from the head alone, so
// that a body no endpoint wants is refused before it is buffered.
using BodyLimit = std::function<std::size_t(const std::string& method, const std::string& path)>;
// A limit that says the body is not held at all: the request is handed on at its head, and its
// handler reads the body in pieces and bounds it itself.
inline constexpr std::size_t STREAMED_BODY = static_cast<std::size_t>(-1);

// Collects the bytes of one request as they arrive, in pieces of any size, and tells when the
// request is whole. The outcome depends only on the bytes, not on how they were split.
class RequestReader {
  public:
    // Past these the request is refused rather than buffered: a peer must not make the agent
    // hold unbounded memory.
    static constexpr std::size_t MAX_HEADER_BYTES = 64 * 1024;
    static constexpr std::int64_t MAX_BODY_BYTES = 8 * 1024 * 1024;
    // A single read never asks for more than this.
    static constexpr std::size_t MAX_READ_BYTES = 262'144;

    // `malformed`: a target that is not a path, or a `Transfer-Encoding` (nothing here reads
    // chunked bodies, and a proxy in front would frame the body differently than we do).
    enum class Status {
        needMore,
        complete,
        headerTooLarge,
        bodyTooLarge,
        negativeLength,
        malformed
    };

    // Bodies up to MAX_BODY_BYTES, or up to what `limit` allows (never more).
    explicit RequestReader(BodyLimit limit = {}) : limit_(std::move(limit)) {}

    // Room for the next read; `commit` says how much of it was filled.
    char* prepare(std::size_t& capacity);
    Status commit(std::size_t bytesRead);

    // Appends bytes that arrived in one piece (for callers that do not read in place).
    Status feed(std::string_view bytes);

    // The whole request, once `commit` or `feed` answered `complete`. A streamed body's bytes
    // that came with the head go to `bodyStart` (when given), not into the request.
    Request take(std::string* bodyStart = nullptr);

    // The body length the head declared; 0 until the head is whole.
    std::size_t declaredBodyLength() const;
    // Whether the body is left for the handler to read (its endpoint's limit is STREAMED_BODY).
    bool streamsBody() const { return streamed_; }

  private:
    Status examine();
    Status judgeHead();

    std::string buffer_;
    std::size_t filled_ = 0;
    std::size_t scannedUpTo_ = 0;  // CR LF CR LF cannot start before this offset
    std::optional<std::size_t> headerEnd_;
    RequestHead head_;
    bool streamed_ = false;
    Request pending_;  // method, path and query, known once the head is whole
    BodyLimit limit_;
};

}  // namespace td::server

#pragma once

#include <string>
#include <string_view>

#include "common/json.hpp"
#include "common/page_guard.hpp"
#include "server/request.hpp"

namespace td::server {

// A complete answer to one request; the writer adds Content-Length and Connection: close.
struct Response {
    int status = 200;
    std::string contentType;
    std::string body;
    std::string extraHeaders;  // whole lines, each ending in CR LF
};

// "OK" for 200, "No Content" for 204, "ERR" for everything else.
std::string_view reasonPhrase(int status);

using td::PAGE_GUARD_HEADERS;

// The bytes on the wire: status line, Content-Type, Content-Length, the extra lines, the page
// guards, Connection: close, an empty line and the body.
std::string serialize(const Response& response);
// The same bytes up to the body, for a body of `bodyLength` bytes sent another way (`body` is
// not used); room is kept for `reserveBody` bytes more.
std::string serializeHead(const Response& response, std::uint64_t bodyLength,
                          std::size_t reserveBody = 0);

Response jsonResponse(const Json& object, int status = 200);
Response textResponse(int status, std::string_view contentType, std::string body);

// The body as a JSON object; anything else is the empty object.
UntrustedJson bodyJSON(const Request& request);

// The head of an event stream: chunked, kept open, never through `serialize`.
inline constexpr std::string_view SSE_HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"
    "Connection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n";
inline constexpr std::string_view SSE_GREETING = ": connected\n\n";
inline constexpr std::string_view SSE_KEEP_ALIVE = ":\n\n";
inline constexpr std::string_view SSE_RELOAD = "event: reload\ndata: 1\n\n";

// One message as one chunk: its byte count in lower-case hex, CR LF, the bytes, CR LF.
std::string sseChunk(std::string_view message);

// True only for the three texts of this machine's loopback peer: 127.0.0.1, ::1 and
// ::ffff:127.0.0.1 (an IPv6 zone suffix is ignored).
bool isLoopbackAddress(std::string_view addressText);

}  // namespace td::server

#include "server/response.hpp"

#include <charconv>

namespace td::server {

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        default:
            return "ERR";
    }
}

std::string serialize(const Response& response) {
    std::string out = serializeHead(response, response.body.size(), response.body.size());
    out.append(response.body);
    return out;
}

std::string serializeHead(const Response& response, std::uint64_t bodyLength,
                          std::size_t reserveBody) {
    const std::string status = std::to_string(response.status);
    const std::string length = std::to_string(bodyLength);
    const std::string_view reason = reasonPhrase(response.status);
    std::string out;
    out.reserve(96 + PAGE_GUARD_HEADERS.size() + response.contentType.size() +
                response.extraHeaders.size() + reserveBody);
    out.append("HTTP/1.1 ").append(status).append(" ").append(reason).append("\r\n");
    out.append("Content-Type: ").append(response.contentType).append("\r\n");
    out.append("Content-Length: ").append(length).append("\r\n");
    out.append(response.extraHeaders);
    out.append(PAGE_GUARD_HEADERS);
    out.append("Connection: close\r\n\r\n");
    return out;
}

Response jsonResponse(const Json& object, int status) {
    return Response{status, "application/json", dumpCompact(object), {}};
}

Response textResponse(int status, std::string_view contentType, std::string body) {
    return Response{status, std::string(contentType), std::move(body), {}};
}

UntrustedJson bodyJSON(const Request& request) {
    return parseObjectOrEmpty(request.body);
}

std::string sseChunk(std::string_view message) {
    char hex[16];
    auto [end, ec] = std::to_chars(hex, hex + sizeof hex, message.size(), 16);
    std::string out(hex, end);
    out.reserve(out.size() + message.size() + 4);
    out.append("\r\n").append(message).append("\r\n");
    return out;
}

bool isLoopbackAddress(std::string_view addressText) {
    // The first non-empty piece between `%` signs: drops a zone suffix such as %lo.
    std::string_view host;
    std::size_t start = 0;
    while (start <= addressText.size()) {
        const std::size_t end = std::min(addressText.find('%', start), addressText.size());
        if (end > start) {
            host = addressText.substr(start, end - start);
            break;
        }
        start = end + 1;
    }
    return host == "127.0.0.1" || host == "::1" || host == "::ffff:127.0.0.1";
}

}  // namespace td::server

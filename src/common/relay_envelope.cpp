#include "common/relay_envelope.hpp"

#include <strings.h>

#include <algorithm>

#include "common/base64.hpp"
#include "common/json.hpp"
#include "common/utf8.hpp"

namespace td::relay {
namespace {

const std::string* stringMember(const UntrustedJson& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                       : nullptr;
}

std::optional<UntrustedJson> objectFrom(std::string_view text, std::size_t limit) {
    if (text.size() > limit) {
        return std::nullopt;
    }
    auto parsed = parseJson(text, MAX_ENVELOPE_VALUES);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    return parsed;
}

// A header value goes into the phone's answer as it stands: a line break would let the agent
// write header fields of its own.
bool isHeaderValue(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7f;
    });
}

std::vector<std::pair<std::string, std::string>> headersOf(const UntrustedJson& object) {
    std::vector<std::pair<std::string, std::string>> headers;
    const auto found = object.find("headers");
    if (found == object.end() || !found->is_object()) {
        return headers;
    }
    for (const auto& [name, value] : found->items()) {
        if (!value.is_string()) {
            return {};
        }
        headers.emplace_back(name, value.get<std::string>());
    }
    return headers;
}

Json replyHead(const ReplyEnvelope& envelope) {
    Json headers = Json::object();
    if (!envelope.contentType.empty()) {
        headers["Content-Type"] = envelope.contentType;
    }
    return {{"reqId", envelope.reqId}, {"status", envelope.status}, {"headers", headers}};
}

}  // namespace

std::optional<RequestEnvelope> readRequestEnvelope(std::string_view text) {
    const auto object = objectFrom(text, MAX_REQUEST_ENVELOPE_BYTES);
    if (!object) {
        return std::nullopt;
    }
    const std::string* reqId = stringMember(*object, "reqId");
    const std::string* method = stringMember(*object, "method");
    const std::string* path = stringMember(*object, "path");
    if (!reqId || !method || !path) {
        return std::nullopt;
    }
    RequestEnvelope envelope{*reqId, *method, *path, headersOf(*object), {}};
    if (const std::string* body = stringMember(*object, "body")) {
        envelope.body = *body;
    }
    return envelope;
}

std::string writeRequestEnvelope(const RequestEnvelope& envelope) {
    Json headers = Json::object();
    for (const auto& [name, value] : envelope.headers) {
        headers[name] = value;
    }
    Json message{{"reqId", envelope.reqId},
                 {"method", envelope.method},
                 {"path", envelope.path},
                 {"headers", std::move(headers)}};
    if (!envelope.body.empty()) {
        message["body"] = envelope.body;
    }
    return dumpCompact(message);
}

std::string writeReplyEnvelope(const ReplyEnvelope& envelope) {
    Json message = replyHead(envelope);
    if (isValidUtf8(envelope.body)) {
        message["body"] = envelope.body;
    } else {
        message["body"] = "";
        message["bodyBase64"] = base64Encode(envelope.body);
    }
    return dumpCompact(message);
}

std::string writeBinaryReply(const ReplyEnvelope& envelope) {
    // Compact JSON holds no raw line feed: the first one ends the head.
    std::string message = dumpCompact(replyHead(envelope));
    message.reserve(message.size() + 1 + envelope.body.size());
    message += '\n';
    message += envelope.body;
    return message;
}

std::optional<ReplyEnvelope> readBinaryReply(std::string_view message) {
    const std::size_t end = message.substr(0, MAX_BINARY_REPLY_HEAD).find('\n');
    if (end == std::string_view::npos || message.size() > MAX_REPLY_ENVELOPE_BYTES) {
        return std::nullopt;
    }
    auto reply = readReplyEnvelope(message.substr(0, end));
    if (reply) {
        reply->body.assign(message.substr(end + 1));
    }
    return reply;
}

std::optional<ReplyEnvelope> readReplyEnvelope(std::string_view text) {
    auto object = objectFrom(text, MAX_REPLY_ENVELOPE_BYTES);
    if (!object) {
        return std::nullopt;
    }
    const std::string* reqId = stringMember(*object, "reqId");
    const auto status = object->find("status");
    if (!reqId || status == object->end() || !status->is_number_integer()) {
        return std::nullopt;
    }
    const auto code = status->get<long long>();
    if (code < 100 || code > 599) {
        return std::nullopt;
    }
    ReplyEnvelope reply{*reqId, static_cast<int>(code), {}, {}};
    for (const auto& [name, value] : headersOf(*object)) {
        if (name.size() == 12 && strncasecmp(name.c_str(), "content-type", 12) == 0) {
            if (!isHeaderValue(value)) {
                return std::nullopt;
            }
            reply.contentType = value;
        }
    }
    if (const std::string* encoded = stringMember(*object, "bodyBase64")) {
        auto bytes = base64Decode(*encoded);
        if (!bytes) {
            return std::nullopt;
        }
        reply.body = std::move(*bytes);
    } else if (auto body = object->find("body"); body != object->end() && body->is_string()) {
        reply.body = std::move(*body->get_ptr<std::string*>());  // a page or a picture: moved
    }
    return reply;
}

}  // namespace td::relay

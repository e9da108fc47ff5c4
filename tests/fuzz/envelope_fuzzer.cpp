// Feeds arbitrary bytes to both envelope readers and to the readers of the relay's challenge and
// the agent's proof. Beyond "no crash": a request envelope that is read survives being written
// and read back unchanged (what the relay sends is what the agent replays), any bytes as a reply
// body arrive unchanged, through `body` or `bodyBase64` or as a binary reply, and a challenge,
// proof or binary reply that is read is the one written back.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/relay_envelope.hpp"
#include "common/relay_proof.hpp"
#include "fuzz_require.hpp"

using td::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    using namespace td::relay;
    if (const auto request = readRequestEnvelope(text)) {
        const auto again = readRequestEnvelope(writeRequestEnvelope(*request));
        require(again && again->reqId == request->reqId && again->method == request->method &&
                again->path == request->path && again->headers == request->headers &&
                again->body == request->body);
    }
    if (const auto reply = readReplyEnvelope(text)) {
        require(reply->status >= 100 && reply->status <= 599);
    }
    if (const auto reply = readBinaryReply(text)) {
        const auto again = readBinaryReply(writeBinaryReply(*reply));
        require(again && again->reqId == reply->reqId && again->status == reply->status &&
                again->contentType == reply->contentType && again->body == reply->body);
    }
    if (const auto challenge = readChallenge(text)) {
        const auto again = readChallenge(writeChallenge(*challenge));
        require(again && again->challenge == challenge->challenge &&
                again->phoneUrl == challenge->phoneUrl &&
                again->binaryReplies == challenge->binaryReplies);
    }
    if (const auto proof = readProof(text)) {
        require(proof->rawPublicKey.size() == PUBLIC_KEY_BYTES &&
                proof->signature.size() == SIGNATURE_BYTES);
        const auto again = readProof(writeProof(*proof));
        require(again && again->rawPublicKey == proof->rawPublicKey &&
                again->signature == proof->signature);
    }
    const auto carried =
        readReplyEnvelope(writeReplyEnvelope({"1", 200, "image/png", std::string(text)}));
    require(carried && carried->body == text);
    const auto binary = readBinaryReply(writeBinaryReply({"1", 200, "image/png", std::string(text)}));
    require(binary && binary->body == text);
    return 0;
}

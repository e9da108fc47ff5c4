// Feeds arbitrary bytes to both envelope readers. Beyond "no crash": a request envelope that is
// read survives being written and read back unchanged (what the relay sends is what the agent
// replays), and any bytes as a reply body arrive unchanged, through `body` or `bodyBase64`.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/relay_envelope.hpp"
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
    const auto carried =
        readReplyEnvelope(writeReplyEnvelope({"1", 200, "image/png", std::string(text)}));
    require(carried && carried->body == text);
    return 0;
}

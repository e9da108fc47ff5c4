#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A relay that only passes bytes carries each phone's connection to its agent as a stream of the
// agent's socket: binary messages of one frame each, `type(1) stream(4, big-endian) payload`.
// Replies of the other kind begin with "{", so the two never mix.
namespace td::relay {

enum class StreamFrameType : std::uint8_t {
    open = 1,    // payload: the phone's address, as text
    data = 2,    // payload: bytes of the connection
    close = 3,   // no payload: the sender will send no more, nor read more
    window = 4,  // payload: 4 bytes, big-endian: this many more bytes may be sent
};

struct StreamFrame {
    StreamFrameType type = StreamFrameType::data;
    std::uint32_t stream = 0;
    std::string_view payload;  // into the message read
    // A window frame's credit.
    std::uint32_t credit() const;
};

// Bytes a stream may have sent and not yet acknowledged by a window frame, each way.
inline constexpr std::size_t STREAM_WINDOW_BYTES = 256 * 1024;
// Streams one agent carries at once.
inline constexpr std::size_t MAX_STREAMS_PER_AGENT = 64;
// The payload of one data frame, at most.
inline constexpr std::size_t MAX_STREAM_DATA_BYTES = 64 * 1024;
// An open frame's address, at most.
inline constexpr std::size_t MAX_STREAM_ADDRESS_BYTES = 64;

std::string writeStreamFrame(StreamFrameType type, std::uint32_t stream,
                             std::string_view payload = {});
std::string writeWindowFrame(std::uint32_t stream, std::uint32_t credit);

// Whether a binary message is a stream frame at all (rather than a reply).
bool isStreamFrame(std::string_view message);
// The frame, or nothing when it breaks the rules above: an unknown type, stream 0, a payload
// that is too long, a window of 0 or not 4 bytes, a close with a payload.
std::optional<StreamFrame> readStreamFrame(std::string_view message);

}  // namespace td::relay

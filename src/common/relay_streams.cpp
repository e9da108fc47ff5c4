#include "common/relay_streams.hpp"

namespace td::relay {
namespace {

constexpr std::size_t HEAD_BYTES = 5;

void appendBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::uint32_t readBigEndian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

bool payloadFits(StreamFrameType type, std::string_view payload) {
    switch (type) {
        case StreamFrameType::open:
            return !payload.empty() && payload.size() <= MAX_STREAM_ADDRESS_BYTES;
        case StreamFrameType::data:
            return !payload.empty() && payload.size() <= MAX_STREAM_DATA_BYTES;
        case StreamFrameType::close:
            return payload.empty();
        case StreamFrameType::window:
            return payload.size() == 4 && readBigEndian(payload) != 0;
    }
    return false;
}

}  // namespace

std::uint32_t StreamFrame::credit() const {
    return payload.size() == 4 ? readBigEndian(payload) : 0;
}

std::string writeStreamFrame(StreamFrameType type, std::uint32_t stream, std::string_view payload) {
    std::string frame;
    frame.reserve(HEAD_BYTES + payload.size());
    frame.push_back(static_cast<char>(type));
    appendBigEndian(frame, stream);
    frame.append(payload);
    return frame;
}

std::string writeWindowFrame(std::uint32_t stream, std::uint32_t credit) {
    std::string payload;
    appendBigEndian(payload, credit);
    return writeStreamFrame(StreamFrameType::window, stream, payload);
}

bool isStreamFrame(std::string_view message) {
    if (message.empty()) {
        return false;
    }
    const auto type = static_cast<unsigned char>(message.front());
    return type >= static_cast<unsigned char>(StreamFrameType::open) &&
           type <= static_cast<unsigned char>(StreamFrameType::window);
}

std::optional<StreamFrame> readStreamFrame(std::string_view message) {
    if (!isStreamFrame(message) || message.size() < HEAD_BYTES) {
        return std::nullopt;
    }
    StreamFrame frame;
    frame.type = static_cast<StreamFrameType>(message.front());
    frame.stream = readBigEndian(message.substr(1));
    frame.payload = message.substr(HEAD_BYTES);
    if (frame.stream == 0 || !payloadFits(frame.type, frame.payload)) {
        return std::nullopt;
    }
    return frame;
}

}  // namespace td::relay

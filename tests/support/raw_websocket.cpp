#include "support/raw_websocket.hpp"

namespace td::test {

using namespace std::chrono_literals;

RawWebSocket::RawWebSocket(std::uint16_t port, const std::string& target,
                           const std::string& extraHeaders, const char* sourceIpv4)
    : client_(LoopbackClient::from(sourceIpv4, port)) {
    client_.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                 "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                 extraHeaders + "\r\n");
    while (!head_.ends_with("\r\n\r\n") && head_.size() < 8192) {
        const std::string byte = client_.readExactly(1, 5s);
        if (byte.empty()) {
            break;
        }
        head_ += byte;
    }
}

std::string RawWebSocket::refusalBody() {
    return client_.readAll(2s);
}

bool RawWebSocket::send(std::string_view payload, bool final, bool continuation) {
    return sendHead(payload.size(), final, continuation) && sendBytes(payload);
}

bool RawWebSocket::sendHead(std::size_t length, bool final, bool continuation) {
    std::string frame(1, static_cast<char>((final ? 0x80 : 0) | (continuation ? 0 : 1)));
    const int lengthBytes = length < 126 ? 0 : length < 65536 ? 2 : 8;
    frame += static_cast<char>(0x80 | (lengthBytes == 0   ? length
                                       : lengthBytes == 2 ? 126
                                                          : 127));
    for (int shift = 8 * lengthBytes - 8; shift >= 0; shift -= 8) {
        frame += static_cast<char>(length >> shift & 0xff);
    }
    frame.append(4, '\0');
    return client_.send(frame);
}

bool RawWebSocket::sendBytes(std::string_view bytes) {
    return client_.send(std::string(bytes));
}

bool RawWebSocket::heard() {
    if (!client_.send(std::string("\x89\x80\0\0\0\0", 6))) {
        return false;
    }
    int opcode = 0;
    readFrame(&opcode);
    return opcode == 10;
}

std::string RawWebSocket::readFrame(int* opcode, std::chrono::milliseconds timeout) {
    const std::string head = client_.readExactly(2, timeout);
    if (head.size() < 2) {
        return {};
    }
    if (opcode) {
        *opcode = static_cast<unsigned char>(head[0]) & 0x0f;
    }
    std::size_t length = static_cast<unsigned char>(head[1]) & 0x7f;
    if (length >= 126) {
        const std::string more = client_.readExactly(length == 126 ? 2 : 8, timeout);
        length = 0;
        for (char c : more) {
            length = length << 8 | static_cast<unsigned char>(c);
        }
    }
    return client_.readExactly(length, timeout);
}

bool RawWebSocket::closedByPeer(std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        if (client_.readAll(50ms).empty() && client_.closedByPeer(50ms)) {
            return true;
        }
    }
    return false;
}

}  // namespace td::test

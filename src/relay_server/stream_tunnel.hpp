#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "common/relay_streams.hpp"
#include "relay_server/hub.hpp"

namespace td::relay_server {

// Phones' connections carried, unread, to one agent as streams of its socket. Each stream may
// have STREAM_WINDOW_BYTES in flight each way: a phone whose stream is out of credit is not
// read (TCP pushes back on it), and what the agent sends is written to the phone before the
// agent hears it may send more. On the network thread, like the agent's session that owns it.
class StreamTunnel : public std::enable_shared_from_this<StreamTunnel> {
  public:
    // Queues one frame on the agent's socket, in order; `sent` (when set) is called once it
    // has left the queue.
    using FrameSender = std::function<void(std::string frame, std::function<void()> sent)>;
    // One address may hold this many of an agent's streams (a browser opens six connections
    // to a name, and a page its event stream and touchpad socket besides).
    static constexpr std::size_t MAX_STREAMS_PER_ADDRESS = 16;

    StreamTunnel(Hub& hub, FrameSender send);
    ~StreamTunnel();
    StreamTunnel(const StreamTunnel&) = delete;
    StreamTunnel& operator=(const StreamTunnel&) = delete;

    // Carries a phone's connection, whose first bytes are still unread, to the agent; false,
    // taking nothing, when the agent carries as many as it may.
    bool carry(boost::asio::ip::tcp::socket& phone, AddressSlot phoneSlot,
               ConnectionTicket& ticket);
    std::size_t size() const { return streams_.size(); }
    // A frame from the agent; false when it breaks the rules (a stream it was never given, more
    // than its credit, credit it was never owed, an open): the agent is then closed.
    bool onFrame(const relay::StreamFrame& frame);
    // Whether the agent may rightly send a frame now: a stream is open, or one closed so lately
    // that the agent's frames for it may still be on their way.
    bool expectsFrames() const;
    // Ends every stream: the agent is gone.
    void closeAll();

    struct Stream;

  private:
    friend struct Stream;
    void forget(std::uint32_t stream, const std::string& address);

    Hub& hub_;
    const FrameSender send_;
    std::map<std::uint32_t, std::shared_ptr<Stream>> streams_;
    std::map<std::string, std::size_t> perAddress_;  // streams by address key (IPv6: its /64)
    std::uint32_t lastStream_ = 0;
    std::chrono::steady_clock::time_point lastClosed_{};
};

}  // namespace td::relay_server

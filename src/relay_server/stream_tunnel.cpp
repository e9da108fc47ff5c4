#include "relay_server/stream_tunnel.hpp"

#include <boost/asio/write.hpp>
#include <deque>

namespace td::relay_server {
namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using relay::StreamFrameType;

namespace {

// Read from a phone at a time: a record of TLS and its framing.
constexpr std::size_t PHONE_READ_BYTES = 16 * 1024 + 64;
// After a stream closes, the agent's frames for it may still be crossing the close.
constexpr auto CROSSING_GRACE = std::chrono::seconds(30);

}  // namespace

struct StreamTunnel::Stream : std::enable_shared_from_this<Stream> {
    Stream(tcp::socket&& phone, std::uint32_t id, AddressSlot slot, ConnectionTicket&& ticket,
           std::weak_ptr<StreamTunnel> tunnel, Hub& hub)
        : socket(std::move(phone)),
          id(id),
          slot(std::move(slot)),
          ticket(std::move(ticket)),
          tunnel(std::move(tunnel)),
          hub(hub) {}

    // Waits until the phone has bytes and the stream credit, then sends them on.
    void readMore() {
        if (reading || ended || credit == 0) {
            return;
        }
        reading = true;
        socket.async_wait(tcp::socket::wait_read,
                          [self = shared_from_this()](const error_code& ec) {
                              self->reading = false;
                              if (!ec) {
                                  self->readReady();
                              } else if (ec != asio::error::operation_aborted) {
                                  self->end(true);
                              }
                          });
    }

    void readReady() {
        if (ended) {
            return;
        }
        if (!tunnel.lock()) {
            return end(false);
        }
        // Read into the network thread's scratch, then keep exactly what came: a phone that
        // sends a byte at a time costs a byte each, not a buffer each.
        auto& scratch = hub.scratch();
        error_code ec;
        socket.non_blocking(true, ec);
        const std::size_t got = socket.read_some(
            asio::buffer(scratch.data(), std::min({scratch.size(), PHONE_READ_BYTES, credit})), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            return readMore();
        }
        if (ec || got == 0) {
            return end(true);  // the phone closed or failed: the agent hears it
        }
        toAgent.append(scratch.data(), got);
        credit -= got;
        hub.metrics.carried(RelayMetrics::Direction::toAgent, got);
        sendToAgent();
        readMore();
    }

    // One frame of this stream waits in the agent's queue at a time; what the phone sends
    // meanwhile gathers here (bounded by the credit) and goes as one frame.
    void sendToAgent() {
        const auto owner = tunnel.lock();
        if (!owner || frameQueued || toAgent.empty()) {
            return;
        }
        const std::size_t size = std::min(toAgent.size(), relay::MAX_STREAM_DATA_BYTES);
        std::string frame = relay::writeStreamFrame(StreamFrameType::data, id,
                                                    std::string_view(toAgent).substr(0, size));
        toAgent.erase(0, size);
        if (toAgent.empty()) {
            std::string().swap(toAgent);  // a quiet stream holds no buffer
        }
        frameQueued = true;
        owner->send_(std::move(frame), [weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->frameQueued = false;
                self->sendToAgent();
            }
        });
    }

    // Bytes from the agent for the phone.
    bool deliver(std::string_view bytes) {
        if (bytes.size() > relay::STREAM_WINDOW_BYTES - unacknowledged) {
            return false;
        }
        if (ended || agentClosed) {
            return true;  // the phone is gone; the agent's bytes were crossing its close
        }
        unacknowledged += bytes.size();
        outbox.emplace_back(bytes);
        if (!writing) {
            writeNext();
        }
        return true;
    }

    void writeNext() {
        writing = true;
        asio::async_write(
            socket, asio::buffer(outbox.front()),
            [self = shared_from_this()](const error_code& ec, std::size_t) { self->written(ec); });
    }

    void written(const error_code& ec) {
        writing = false;
        if (ended) {
            outbox.clear();  // what was being written is no longer needed
            return;
        }
        const std::size_t bytes = outbox.front().size();
        outbox.pop_front();
        unacknowledged -= bytes;
        if (ec) {
            return end(true);
        }
        hub.metrics.carried(RelayMetrics::Direction::toPhone, bytes);
        if (const auto owner = tunnel.lock(); owner && !agentClosed) {
            owner->send_(relay::writeWindowFrame(id, static_cast<std::uint32_t>(bytes)), {});
        }
        if (!outbox.empty()) {
            return writeNext();
        }
        if (agentClosed) {
            end(false);
        }
    }

    bool grant(std::uint32_t more) {
        if (more > relay::STREAM_WINDOW_BYTES - credit) {
            return false;
        }
        credit += more;
        readMore();
        return true;
    }

    // The agent will send and read no more: what it sent is written first.
    void agentClose() {
        agentClosed = true;
        if (!writing) {
            end(false);
        }
    }

    // `tellAgent`: the phone's side ended, and the agent hears it.
    void end(bool tellAgent) {
        if (ended) {
            return;
        }
        ended = true;
        error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        // A write under way still refers to the first: it goes when that write ends.
        outbox.erase(outbox.begin() + (writing && !outbox.empty() ? 1 : 0), outbox.end());
        std::string().swap(toAgent);
        if (const auto owner = tunnel.lock()) {
            if (tellAgent && !agentClosed) {
                owner->send_(relay::writeStreamFrame(StreamFrameType::close, id), {});
            }
            owner->forget(id, slot.address());
        }
    }

    tcp::socket socket;
    const std::uint32_t id;
    AddressSlot slot;
    ConnectionTicket ticket;
    const std::weak_ptr<StreamTunnel> tunnel;
    Hub& hub;
    std::size_t credit = relay::STREAM_WINDOW_BYTES;  // bytes the agent may still be sent
    std::size_t unacknowledged = 0;  // the agent's bytes not yet written to the phone
    std::deque<std::string> outbox;
    std::string toAgent;       // read from the phone, not yet in a frame
    bool frameQueued = false;  // a data frame of this stream waits in the agent's queue
    bool reading = false;
    bool writing = false;
    bool agentClosed = false;
    bool ended = false;
};

StreamTunnel::StreamTunnel(Hub& hub, FrameSender send) : hub_(hub), send_(std::move(send)) {}

StreamTunnel::~StreamTunnel() {
    closeAll();
}

bool StreamTunnel::carry(tcp::socket& phone, AddressSlot phoneSlot, ConnectionTicket& ticket) {
    const std::string address = phoneSlot.address();
    std::size_t& fromAddress = perAddress_[addressKey(address)];
    if (streams_.size() >= relay::MAX_STREAMS_PER_AGENT || fromAddress >= MAX_STREAMS_PER_ADDRESS) {
        hub_.metrics.streamRefused();
        if (fromAddress == 0) {
            perAddress_.erase(addressKey(address));
        }
        return false;
    }
    ++fromAddress;
    const std::uint32_t id = ++lastStream_;
    auto stream = std::make_shared<Stream>(std::move(phone), id, std::move(phoneSlot),
                                           std::move(ticket), weak_from_this(), hub_);
    streams_.emplace(id, stream);
    hub_.metrics.streamOpened();
    send_(relay::writeStreamFrame(StreamFrameType::open, id, address), {});
    stream->readMore();
    return true;
}

bool StreamTunnel::onFrame(const relay::StreamFrame& frame) {
    if (frame.type == StreamFrameType::open || frame.stream > lastStream_) {
        return false;  // only the relay opens streams
    }
    const auto found = streams_.find(frame.stream);
    if (found == streams_.end()) {
        return true;  // closed here while the agent's frames for it were on their way
    }
    const auto stream = found->second;  // may forget itself below
    switch (frame.type) {
        case StreamFrameType::data:
            return stream->deliver(frame.payload);
        case StreamFrameType::window:
            return stream->grant(frame.credit());
        case StreamFrameType::close:
            stream->agentClose();
            return true;
        case StreamFrameType::open:
            break;
    }
    return false;
}

bool StreamTunnel::expectsFrames() const {
    return !streams_.empty() ||
           (lastStream_ != 0 && std::chrono::steady_clock::now() - lastClosed_ < CROSSING_GRACE);
}

void StreamTunnel::closeAll() {
    auto streams = std::move(streams_);
    streams_.clear();
    for (auto& [id, stream] : streams) {
        stream->end(false);
        hub_.metrics.streamClosed();
    }
    perAddress_.clear();
}

void StreamTunnel::forget(std::uint32_t stream, const std::string& address) {
    if (streams_.erase(stream) > 0) {
        const auto found = perAddress_.find(addressKey(address));
        if (found != perAddress_.end() && --found->second == 0) {
            perAddress_.erase(found);
        }
        hub_.metrics.streamClosed();
        lastClosed_ = std::chrono::steady_clock::now();
    }
}

}  // namespace td::relay_server

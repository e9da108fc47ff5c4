#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/relay_envelope.hpp"

// The relay service: agents keep a WebSocket to it, and phones' requests to an agent's pages are
// sent down that socket and answered from it. Everything but the listener's setup runs on one
// network thread, so nothing here locks.
namespace td::relay_server {

struct RelayOptions {
    std::string address = "0.0.0.0";
    std::uint16_t port = 8789;  // 0: any free port
    // Both, or neither: without them the service speaks plain HTTP behind a TLS proxy.
    std::string certFile;
    std::string keyFile;
    // The largest body a phone may send.
    std::size_t maxBody = 1024 * 1024;
    // How long a phone waits for its agent's answer.
    std::chrono::milliseconds replyTimeout{30'000};
    // Requests waiting on one agent's answers; one agent's phones may not take every slot.
    std::size_t maxInFlightPerAgent = 64;
    // One line per agent connection and loss; never a body, a header value or a query.
    std::function<void(const std::string& line)> log;
};

// An agent's socket, as phones' requests see it.
class AgentLink {
  public:
    // Called once: the reply, or nothing when the agent went away first.
    using Answer = std::function<void(std::optional<relay::ReplyEnvelope>)>;

    virtual ~AgentLink() = default;
    // Sends the request to the agent; false, sending nothing, when too many are in flight.
    virtual bool forward(const relay::RequestEnvelope& envelope, Answer answer) = 0;
    // The phone stopped waiting; a late reply is dropped.
    virtual void abandon(const std::string& reqId) = 0;
    // Ends the connection (another agent took the identifier).
    virtual void close() = 0;
};

// The answers an agent still owes, by request id.
class PendingReplies {
  public:
    std::size_t size() const { return waiting_.size(); }
    void add(const std::string& reqId, AgentLink::Answer answer);
    void settle(const relay::ReplyEnvelope& reply);  // a reply nobody waits for is dropped
    void remove(const std::string& reqId);
    void failAll();

  private:
    std::unordered_map<std::string, AgentLink::Answer> waiting_;
};

// Who is connected: one agent per identifier.
class Hub {
  public:
    explicit Hub(RelayOptions options) : options_(std::move(options)) {}
    const RelayOptions& options() const { return options_; }

    // Registers `agent` for `id`; an agent already registered for it is closed.
    void attach(const std::string& id, const std::shared_ptr<AgentLink>& agent,
                const std::string& peer);
    // Forgets `agent`, unless another has taken its identifier since.
    void detach(const std::string& id, const AgentLink* agent, const std::string& peer);
    std::shared_ptr<AgentLink> find(const std::string& id) const;
    std::string nextRequestId() { return std::to_string(++lastRequestId_); }
    void closeAll();
    // Readable from any thread.
    std::size_t agentCount() const { return agentCount_.load(); }

  private:
    void log(const std::string& line) const;

    const RelayOptions options_;
    std::unordered_map<std::string, std::weak_ptr<AgentLink>> agents_;
    std::uint64_t lastRequestId_ = 0;
    std::atomic<std::size_t> agentCount_{0};
};

// 1 to 128 letters, digits and hyphens.
bool isRelayId(std::string_view id);

// What a request target asks of the relay.
struct Route {
    enum class Kind { health, agentSocket, phoneRedirect, phone, notFound, badAgentId };
    Kind kind = Kind::notFound;
    std::string id;
    std::string rest;  // phone: the target below the agent's prefix; redirect: the new target
};
Route routeFor(std::string_view target);

// Header fields that belong to one connection and are not passed on: the standard ones, any
// that `Connection` names, and the body's framing (the envelope carries the body whole).
bool isHopByHop(std::string_view name, std::string_view connectionHeader);

}  // namespace td::relay_server

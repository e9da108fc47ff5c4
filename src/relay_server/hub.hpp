#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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
    // host[:port] as phones see it: ID.DOMAIN then serves agent ID's pages at its own origin.
    // Empty: phones use /phone/ID/ on the relay's own host.
    std::string phoneDomain;
    // The names (host[:port], as agents send them) by which agents reach this relay. An agent
    // signs the name it used, so a proof made for another relay is refused here. None (and no
    // phone domain): any name, for a relay of one's own.
    std::vector<std::string> names;
    // Agent sockets and phone connections from one address; 0: no limit.
    std::size_t maxAgentsPerAddress = 64;
    std::size_t maxPhonesPerAddress = 256;
    // Proxies whose last X-Forwarded-For entry names the client.
    std::vector<std::string> trustedProxies;
    // Connections held at once; 0: as many as the descriptor limit leaves room for.
    std::size_t maxConnections = 0;
    // How long an agent has to prove its identifier after the upgrade.
    std::chrono::milliseconds proofTimeout{10'000};
    // Phones' bodies held at once while they wait for their agents; one address may hold an
    // eighth of it.
    std::size_t bodyBudget = 64 * 1024 * 1024;
    // Agents' messages being read at once (a reply may be 4 MiB).
    std::size_t messageBudget = 64 * 1024 * 1024;
    // An agent's socket silent this long is dead (a ping goes out at half of it), and a message
    // begun must be whole within it.
    std::chrono::milliseconds agentIdleTimeout{60'000};
    // Plain listener for /metrics and /healthz; port unset: none.
    std::string metricsAddress = "127.0.0.1";
    std::optional<std::uint16_t> metricsPort;
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
    // Ends the connection (another agent proved the identifier).
    virtual void close() = 0;
};

// The answers an agent still owes, by request id.
class PendingReplies {
  public:
    std::size_t size() const { return waiting_.size(); }
    void add(const std::string& reqId, AgentLink::Answer answer);
    // False when nobody waits for the reply (it is dropped).
    bool settle(const relay::ReplyEnvelope& reply);
    void remove(const std::string& reqId);
    void failAll();

  private:
    std::unordered_map<std::string, AgentLink::Answer> waiting_;
};

// What /metrics shows: counts since the start, no id, address or path in any label.
class RelayMetrics {
  public:
    enum class Proof { ok, bad, timeout };
    void proved(Proof result) { ++proofs_[static_cast<std::size_t>(result)]; }
    void answered(int status, std::chrono::steady_clock::duration took);
    // Prometheus' text format.
    std::string text(std::size_t agents) const;

  private:
    static constexpr std::array<double, 12> BUCKETS = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                       0.25,  0.5,   1,    2.5,   10,   30};
    std::array<std::uint64_t, 3> proofs_{};
    std::map<int, std::uint64_t> requests_;
    std::array<std::uint64_t, BUCKETS.size()> inBucket_{};
    std::uint64_t durations_ = 0;
    double secondsTotal_ = 0;
};

// The key an address is counted under: itself for IPv4, its /64 for IPv6 (one subscriber
// commonly holds a whole /64).
std::string addressKey(const std::string& address);

// How many of something each address holds; past `limit` (0: none) it may take no more.
class PerAddress {
  public:
    explicit PerAddress(std::size_t limit) : limit_(limit) {}
    bool take(const std::string& address);
    void give(const std::string& address);

  private:
    const std::size_t limit_;
    std::unordered_map<std::string, std::size_t> held_;
};

// One address's claim on a PerAddress count, given back when dropped.
class AddressSlot {
  public:
    AddressSlot() = default;
    AddressSlot(PerAddress& counts, std::string address)
        : counts_(&counts), address_(std::move(address)) {}
    AddressSlot(AddressSlot&& other) noexcept { *this = std::move(other); }
    AddressSlot& operator=(AddressSlot&& other) noexcept;
    ~AddressSlot() { reset(); }
    const std::string& address() const { return address_; }
    bool held() const { return counts_ != nullptr; }
    void reset();

  private:
    PerAddress* counts_ = nullptr;
    std::string address_;
};

// A connection that waits for a request head and may be closed to make room for another.
class IdleConnection {
  public:
    virtual ~IdleConnection() = default;
    virtual void evict() = 0;
};

// Every connection is counted, and their number stays below the descriptor limit: past it the
// longest-idle one that is not an agent makes room, and agents keep a share no phone can take.
class ConnectionBook {
  public:
    enum class Kind { other, agent };
    using IdlePlace = std::list<std::weak_ptr<IdleConnection>>::iterator;

    explicit ConnectionBook(std::size_t limit) : limit_(limit) {}
    // Whether a new connection may stay; may close the longest-idle one to make room.
    bool admit();
    void leave(Kind kind);
    void becomeAgent();
    IdlePlace waiting(std::weak_ptr<IdleConnection> connection);
    void busy(IdlePlace place);
    std::size_t count() const { return others_ + agents_; }
    std::size_t limit() const { return limit_; }

  private:
    bool evictLongestIdle();

    const std::size_t limit_;
    std::size_t others_ = 0;
    std::size_t agents_ = 0;
    std::list<std::weak_ptr<IdleConnection>> idle_;  // longest idle first
};

// Who is connected: one proven agent per identifier.
class Hub {
  public:
    explicit Hub(RelayOptions options, std::size_t maxConnections);
    const RelayOptions& options() const { return options_; }

    // Registers a proven `agent` for `id`; an agent already registered for it is closed.
    void attach(const std::string& id, const std::shared_ptr<AgentLink>& agent,
                const std::string& peer);
    // Forgets `agent`, unless another has taken its identifier since.
    void detach(const std::string& id, const AgentLink* agent, const std::string& peer);
    std::shared_ptr<AgentLink> find(const std::string& id) const;
    std::string nextRequestId() { return std::to_string(++lastRequestId_); }
    void closeAll();
    // Readable from any thread.
    std::size_t agentCount() const { return agentCount_.load(); }

    // The address a request comes from: the peer's, or for a trusted proxy the last entry of
    // its X-Forwarded-For.
    std::string clientAddress(const std::string& peer, std::string_view forwardedFor) const;
    // Where an agent's phones go: https://ID.DOMAIN/ or https://HOST/phone/ID/.
    std::string phoneUrl(const std::string& id, std::string_view agentHost) const;

    // Bodies held for phones still waiting, across every connection and per address; past
    // either budget a request is refused (503) rather than held.
    bool holdBody(const std::string& address, std::size_t bytes);
    void releaseBody(const std::string& address, std::size_t bytes);

    // Bytes of agents' messages being read; past the budget the agent is closed.
    bool holdMessage(std::size_t bytes);
    void releaseMessage(std::size_t bytes) { heldMessages_ -= bytes; }

    // Whether an agent that reached the relay by `host` (its Host header) may be proven here.
    bool isOwnName(std::string_view host) const;

    PerAddress phones;
    PerAddress agents;
    ConnectionBook connections;
    RelayMetrics metrics;

    // One line of the service's log.
    void log(const std::string& line) const;

  private:
    const RelayOptions options_;
    std::unordered_map<std::string, std::weak_ptr<AgentLink>> agents_;
    std::uint64_t lastRequestId_ = 0;
    std::atomic<std::size_t> agentCount_{0};
    std::size_t heldBodies_ = 0;
    std::unordered_map<std::string, std::size_t> bodiesByAddress_;
    std::size_t heldMessages_ = 0;
};

// 1 to 128 letters, digits and hyphens.
bool isRelayId(std::string_view id);

// What a request asks of the relay.
struct Route {
    enum class Kind { health, agentSocket, phoneRedirect, phone, notFound, badAgentId };
    Kind kind = Kind::notFound;
    std::string id;
    std::string rest;  // phone: the target below the agent's prefix; redirect: the new location
};
// `host`: the request's Host; with a phone domain, ID.DOMAIN serves agent ID.
Route routeFor(std::string_view target, std::string_view host, std::string_view phoneDomain);

// Header fields that belong to one connection and are not passed on: the standard ones, any
// that `Connection` names, and the body's framing (the envelope carries the body whole).
bool isHopByHop(std::string_view name, std::string_view connectionHeader);

// Why a reply cannot be passed to a phone as it stands, or nothing when it can: a status outside
// 200-599 (1xx would start an exchange the phone never asked for), a body on 204 or 304, or a
// Content-Type that is no short header value.
std::optional<std::string> replyProblem(const relay::ReplyEnvelope& reply);

}  // namespace td::relay_server

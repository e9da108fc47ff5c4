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
#include <utility>
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
    // Agents' messages being read at once (a reply may be 4 MiB); one address may hold an
    // eighth of it.
    std::size_t messageBudget = 64 * 1024 * 1024;
    // An agent's socket silent this long is dead (a ping goes out at half of it), and a message
    // begun must be whole within it.
    std::chrono::milliseconds agentIdleTimeout{60'000};
    // Plain listener for /metrics and /healthz; port unset: none.
    std::string metricsAddress = "127.0.0.1";
    std::optional<std::uint16_t> metricsPort;
    // Phones' TLS is carried unread to their agents (needs the phone domain): the relay reads
    // only the server name of each ClientHello, and serves its own names itself.
    bool passthrough = false;
    // One line per agent connection and loss; never a body, a header value or a query.
    std::function<void(const std::string& line)> log;
};

class StreamTunnel;

// An agent's socket, as phones' requests see it.
class AgentLink {
  public:
    // Called once: the reply, or nothing when the agent went away first.
    using Answer = std::function<void(std::optional<relay::ReplyEnvelope>)>;
    // Called once the request has left for the agent's socket (or will never leave): what the
    // phone sent is no longer held on its behalf.
    using Sent = std::function<void()>;

    virtual ~AgentLink() = default;
    // Sends the request envelope `text` to the agent; false, sending nothing, when too many are
    // in flight.
    virtual bool forward(const std::string& reqId, std::string text, Answer answer, Sent sent) = 0;
    // The phone stopped waiting; the reply, when it comes, is dropped and the agent kept.
    virtual void abandon(const std::string& reqId) = 0;
    // Ends the connection (another agent proved the identifier).
    virtual void close() = 0;
    // Bytes of the message being read from it.
    virtual std::size_t heldMessageBytes() const = 0;
    // The address it connected from.
    virtual const std::string& address() const = 0;
    // Ends the connection with 1013: its message holds what all agents' messages may.
    virtual void giveWay() = 0;
    // What carries phones' connections to it unread; nothing unless the relay passes them.
    virtual std::shared_ptr<StreamTunnel> tunnel() const { return nullptr; }
};

// The answers an agent still owes, by request id, and the latest requests whose phones stopped
// waiting: a reply to one of those is dropped, since the agent was only slow.
class PendingReplies {
  public:
    enum class Outcome { answered, late, unknown };
    // Abandoned requests are remembered up to this many, the oldest forgotten first; an agent
    // of ours answers each within its own deadline, before the relay's.
    static constexpr std::size_t MAX_ABANDONED = 256;

    // Phones waiting.
    std::size_t size() const { return waiting_.size(); }
    // Whether a reply may come: some phone waits, or one stopped waiting.
    bool expectsReply() const { return !waiting_.empty() || !abandoned_.empty(); }
    void add(const std::string& reqId, AgentLink::Answer answer);
    // `late` (dropped) when its phone stopped waiting, `unknown` when it was never asked.
    Outcome settle(const relay::ReplyEnvelope& reply);
    void abandon(const std::string& reqId);
    // Every phone still waiting hears that the agent is gone.
    void failAll();

  private:
    std::unordered_map<std::string, AgentLink::Answer> waiting_;
    std::list<std::string> abandoned_;  // oldest first
};

// What /metrics shows: counts since the start, no id, address or path in any label.
class RelayMetrics {
  public:
    enum class Proof { ok, bad, timeout };
    void proved(Proof result) { ++proofs_[static_cast<std::size_t>(result)]; }
    void answered(int status, std::chrono::steady_clock::duration took);
    // Phones' connections carried unread to their agents.
    enum class Direction { toAgent, toPhone };
    void streamOpened() { ++streamsOpen_; }
    void streamClosed() { --streamsOpen_; }
    void streamRefused() { ++streamsRefused_; }
    void carried(Direction direction, std::size_t bytes) {
        streamBytes_[static_cast<std::size_t>(direction)] += bytes;
    }
    // Prometheus' text format.
    std::string text(std::size_t agents) const;

  private:
    static constexpr std::array<double, 12> BUCKETS = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                       0.25,  0.5,   1,    2.5,   10,   30};
    std::array<std::uint64_t, 3> proofs_{};
    std::uint64_t streamsOpen_ = 0;
    std::uint64_t streamsRefused_ = 0;
    std::array<std::uint64_t, 2> streamBytes_{};
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

// A phone's connection whose head or body is still arriving, or whose large answer it has not
// read: closed when the bodies' budget is full and its address holds the most of it.
class BodyReader {
  public:
    virtual ~BodyReader() = default;
    virtual std::size_t heldBodyBytes() const = 0;
    virtual const std::string& bodyAddress() const = 0;
    virtual void giveWay() = 0;
};

// A connection that may be closed to make room for another: a phone's waiting for a request
// head, or an agent's that has not proven its identifier yet.
class IdleConnection {
  public:
    virtual ~IdleConnection() = default;
    virtual void evict() = 0;
};

// Every connection is counted, and their number stays below the descriptor limit: past it the
// connection that has waited longest, an agent's socket for its proof or a phone's for a whole
// request, makes room (an honest agent proves itself at once, a flood's sockets wait), and
// proven agents keep a share no phone can take.
class ConnectionBook {
  public:
    enum class Kind { other, agent };
    struct Waiting {
        std::weak_ptr<IdleConnection> connection;
        std::chrono::steady_clock::time_point since;
    };
    using IdlePlace = std::list<Waiting>::iterator;

    explicit ConnectionBook(std::size_t limit) : limit_(limit) {}
    // Whether a new connection may stay; may close one to make room: an agent's socket that has
    // not proven its identifier yet, oldest first, else the longest-idle phone connection.
    bool admit();
    void leave(Kind kind);
    void becomeAgent();
    IdlePlace waiting(std::weak_ptr<IdleConnection> connection);
    void busy(IdlePlace place);
    IdlePlace waitingForProof(std::weak_ptr<IdleConnection> agent);
    void proven(IdlePlace place);
    std::size_t count() const { return others_ + agents_; }
    std::size_t limit() const { return limit_; }

  private:
    bool evictOne();

    const std::size_t limit_;
    std::size_t others_ = 0;
    std::size_t agents_ = 0;
    std::list<Waiting> unproven_;  // oldest first
    std::list<Waiting> idle_;      // longest idle first
};

// A connection's place in the hub's count, given back when the connection ends.
class ConnectionTicket {
  public:
    explicit ConnectionTicket(ConnectionBook& book) : book_(&book) {}
    ConnectionTicket(ConnectionTicket&& other) noexcept
        : book_(std::exchange(other.book_, nullptr)), kind_(other.kind_) {}
    ConnectionTicket& operator=(ConnectionTicket&&) = delete;
    ~ConnectionTicket() { release(); }
    void becomeAgent() {
        if (book_ && kind_ != ConnectionBook::Kind::agent) {
            book_->becomeAgent();
            kind_ = ConnectionBook::Kind::agent;
        }
    }
    // The connection goes on under another ticket, which counts it from now on.
    void handOver() { book_ = nullptr; }
    void release() {
        if (auto* book = std::exchange(book_, nullptr)) {
            book->leave(kind_);
        }
    }

  private:
    ConnectionBook* book_;
    ConnectionBook::Kind kind_ = ConnectionBook::Kind::other;
};

// Bytes held in all and by each address (an IPv6 /64), an address taking at most a share.
class SharedBudget {
  public:
    SharedBudget(std::size_t total, std::size_t share) : total_(total), share_(share) {}
    // False, holding nothing, past the whole or the address's share.
    bool hold(const std::string& address, std::size_t bytes);
    void release(const std::string& address, std::size_t bytes);
    bool fits(std::size_t bytes) const { return held_ + bytes <= total_; }
    bool fitsShare(const std::string& address, std::size_t bytes) const;
    std::size_t heldBy(const std::string& address) const;
    // An address holding the most, and what it holds; nothing when none holds anything.
    std::optional<std::pair<std::string, std::size_t>> largestHolder() const;
    // The same as hold; but when the whole is taken, the address holding the most (by its key)
    // gives way through `giveWay` until the bytes fit, unless that is `address` itself or holds
    // no more than it, or `giveWay` can free nothing of it.
    bool holdGivingWay(const std::string& address, std::size_t bytes,
                       const std::function<bool(const std::string& key)>& giveWay);

  private:
    const std::size_t total_;
    const std::size_t share_;
    std::size_t held_ = 0;
    std::unordered_map<std::string, std::size_t> byAddress_;
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
    // its X-Forwarded-For (not in passthrough mode, where the proxy's PROXY line named it).
    std::string clientAddress(const std::string& peer, std::string_view forwardedFor) const;
    bool isTrustedProxy(const std::string& peer) const;
    // Where an agent's phones go: https://ID.DOMAIN/ or https://HOST/phone/ID/.
    std::string phoneUrl(const std::string& id, std::string_view agentHost) const;

    // What phones' requests hold until they leave for their agents (bodies, and heads larger
    // than a head may be without cookies), in all and per address; past its address's share a
    // request is refused (503). When all is taken, the address holding the most gives way, a
    // body still arriving at a time, unless that is the requester's own address (refused).
    bool holdBody(const std::string& address, std::size_t bytes);
    using BodyPlace = std::list<std::weak_ptr<BodyReader>>::iterator;
    BodyPlace readingBody(std::weak_ptr<BodyReader> reader);
    void bodyRead(BodyPlace place) { bodyReaders_.erase(place); }
    void releaseBody(const std::string& address, std::size_t bytes) {
        bodies_.release(address, bytes);
    }

    // Bytes of proven agents' messages being read, in all and per address (an eighth). Past
    // its address's share the reader is refused; when all of it is taken, the address holding
    // the most gives way, its largest message first, unless that is the reader's own address
    // (then the reader is refused).
    bool holdMessage(const std::string& address, std::size_t bytes);
    void releaseMessage(const std::string& address, std::size_t bytes) {
        messages_.release(address, bytes);
    }

    // A buffer for the network thread's passing use: a ClientHello is peeked into it.
    std::vector<char>& scratch() { return scratch_; }

    // Whether an agent that reached the relay by `host` (its Host header) may be proven here:
    // one of its names, or with passthrough ID.t.DOMAIN.
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
    // The agent from `address` whose message being read is the largest.
    std::shared_ptr<AgentLink> largestMessageFrom(const std::string& address) const;

    std::vector<char> scratch_ = std::vector<char>(16 * 1024);
    SharedBudget bodies_;
    SharedBudget messages_;
    std::list<std::weak_ptr<BodyReader>> bodyReaders_;
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
// `host`: the request's Host; with a phone domain, ID.DOMAIN serves agent ID, also when the
// Host names the port phones use (the domain's, else 443).
Route routeFor(std::string_view target, std::string_view host, std::string_view phoneDomain);

// Where a passthrough relay sends a connection, by the server name of its ClientHello.
struct NameRoute {
    enum class Kind {
        relay,  // the relay's own TLS: its names, ID.t.DOMAIN, or no name at all
        agent,  // ID.DOMAIN: carried unread to agent `id`
        none,   // any other name: closed
    };
    Kind kind = Kind::none;
    std::string id;
};
// `serverName`: lower-case, as scanned; `phoneDomain` and `names` may carry ports.
NameRoute routeServerName(std::string_view serverName, std::string_view phoneDomain,
                          const std::vector<std::string>& names);

// Header fields that belong to one connection and are not passed on: the standard ones, any
// that `Connection` names, and the body's framing (the envelope carries the body whole).
bool isHopByHop(std::string_view name, std::string_view connectionHeader);

// Why a reply cannot be passed to a phone as it stands, or nothing when it can: a status outside
// 200-599 (1xx would start an exchange the phone never asked for), a body on 204 or 304, or a
// Content-Type that is no short header value.
std::optional<std::string> replyProblem(const relay::ReplyEnvelope& reply);

}  // namespace td::relay_server

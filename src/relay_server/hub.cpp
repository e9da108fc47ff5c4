#include "relay_server/hub.hpp"

#include <strings.h>

#include <algorithm>
#include <array>
#include <boost/asio/ip/address_v6.hpp>
#include <cctype>
#include <sstream>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "relay_server/proxy_header.hpp"

namespace td::relay_server {
namespace {

constexpr std::string_view AGENT_SOCKET = "/mac/ws";
constexpr std::string_view PHONE_PREFIX = "/phone/";
// The port phones use when the phone domain names none.
constexpr std::string_view HTTPS_PORT = "443";
constexpr std::size_t MAX_ID_LENGTH = 128;
// A Content-Type is a media type and a parameter or two, not a page of text.
constexpr std::size_t MAX_CONTENT_TYPE = 256;
// An X-Forwarded-For entry longer than this names no address.
constexpr std::size_t MAX_ADDRESS_TEXT = 64;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The value of `key` in a query ("a=1&id=X"), as sent.
std::optional<std::string_view> queryValue(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        const std::size_t amp = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, amp);
        if (pair.size() > key.size() && pair.starts_with(key) && pair[key.size()] == '=') {
            return pair.substr(key.size() + 1);
        }
        query.remove_prefix(std::min(amp + 1, query.size()));
    }
    return std::nullopt;
}

// "name:port" as name and port; the port is empty when none is named.
std::pair<std::string_view, std::string_view> splitPort(std::string_view host) {
    const std::size_t colon = host.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == host.size() ||
        host.find_first_not_of("0123456789", colon + 1) != std::string_view::npos) {
        return {host, {}};
    }
    return {host.substr(0, colon), host.substr(colon + 1)};
}

// The rest of a path below /phone/ID at the agent's own origin: "/REST", or "/" for none.
std::string belowAgent(std::string_view afterId) {
    return afterId.starts_with('/') ? std::string(afterId) : "/" + std::string(afterId);
}

}  // namespace

void PendingReplies::add(const std::string& reqId, AgentLink::Answer answer) {
    waiting_[reqId] = std::move(answer);
}

PendingReplies::Outcome PendingReplies::settle(const relay::ReplyEnvelope& reply) {
    if (auto found = waiting_.find(reply.reqId); found != waiting_.end()) {
        auto answer = std::move(found->second);
        waiting_.erase(found);
        answer(reply);
        return Outcome::answered;
    }
    if (auto late = std::find(abandoned_.begin(), abandoned_.end(), reply.reqId);
        late != abandoned_.end()) {
        abandoned_.erase(late);
        return Outcome::late;
    }
    return Outcome::unknown;
}

void PendingReplies::abandon(const std::string& reqId) {
    if (waiting_.erase(reqId) == 0) {
        return;
    }
    abandoned_.push_back(reqId);
    if (abandoned_.size() > MAX_ABANDONED) {
        abandoned_.pop_front();
    }
}

void PendingReplies::failAll() {
    auto waiting = std::move(waiting_);
    waiting_.clear();
    abandoned_.clear();
    for (auto& [reqId, answer] : waiting) {
        answer(std::nullopt);
    }
}

bool SharedBudget::fitsShare(const std::string& address, std::size_t bytes) const {
    return heldBy(address) + bytes <= share_;
}

std::size_t SharedBudget::heldBy(const std::string& address) const {
    const auto found = byAddress_.find(addressKey(address));
    return found == byAddress_.end() ? 0 : found->second;
}

std::optional<std::pair<std::string, std::size_t>> SharedBudget::largestHolder() const {
    const auto largest =
        std::max_element(byAddress_.begin(), byAddress_.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    return largest == byAddress_.end() ? std::nullopt : std::optional(*largest);
}

bool SharedBudget::hold(const std::string& address, std::size_t bytes) {
    if (bytes == 0) {
        return true;
    }
    if (!fits(bytes) || !fitsShare(address, bytes)) {
        return false;
    }
    held_ += bytes;
    byAddress_[addressKey(address)] += bytes;
    return true;
}

void SharedBudget::release(const std::string& address, std::size_t bytes) {
    if (bytes == 0) {
        return;
    }
    held_ -= bytes;
    if (auto it = byAddress_.find(addressKey(address)); it != byAddress_.end()) {
        it->second -= bytes;
        if (it->second == 0) {
            byAddress_.erase(it);
        }
    }
}

Hub::Hub(RelayOptions options, std::size_t maxConnections)
    : phones(options.maxPhonesPerAddress),
      agents(options.maxAgentsPerAddress),
      connections(maxConnections),
      options_(std::move(options)),
      bodies_(options_.bodyBudget, options_.bodyBudget / 8),
      messages_(options_.messageBudget, options_.messageBudget / 8) {}

bool Hub::isTrustedProxy(const std::string& peer) const {
    const auto& proxies = options_.trustedProxies;
    // On a dual-stack listener an IPv4 proxy arrives as ::ffff:a.b.c.d.
    return std::find(proxies.begin(), proxies.end(), peer) != proxies.end() ||
           std::find(proxies.begin(), proxies.end(), canonicalAddress(peer)) != proxies.end();
}

std::string Hub::clientAddress(const std::string& peer, std::string_view forwardedFor) const {
    // A passthrough relay's proxies name the client in a PROXY line, never in a header.
    if (forwardedFor.empty() || options_.passthrough || !isTrustedProxy(peer)) {
        return peer;
    }
    const std::size_t comma = forwardedFor.rfind(',');
    const std::string_view last = trimmedSpaces(
        comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
    return last.empty() || last.size() > MAX_ADDRESS_TEXT ? peer : std::string(last);
}

std::string Hub::phoneUrl(const std::string& id, std::string_view agentHost) const {
    if (!options_.phoneDomain.empty()) {
        return "https://" + id + "." + options_.phoneDomain + "/";
    }
    return "https://" + asciiLowerCase(agentHost) + "/phone/" + id + "/";
}

bool SharedBudget::holdGivingWay(const std::string& address, std::size_t bytes,
                                 const std::function<bool(const std::string& key)>& giveWay) {
    if (!fitsShare(address, bytes)) {
        return false;
    }
    while (!fits(bytes)) {
        // Many small holds weigh as much as one large one: the address is what counts.
        const auto largest = largestHolder();
        if (!largest || largest->first == addressKey(address) ||
            largest->second <= heldBy(address) || !giveWay(largest->first)) {
            return false;
        }
    }
    return hold(address, bytes);
}

bool Hub::holdBody(const std::string& address, std::size_t bytes) {
    return bodies_.holdGivingWay(address, bytes, [this](const std::string& key) {
        std::shared_ptr<BodyReader> victim;
        for (const auto& weak : bodyReaders_) {
            auto reader = weak.lock();
            if (reader && addressKey(reader->bodyAddress()) == key &&
                (!victim || reader->heldBodyBytes() > victim->heldBodyBytes())) {
                victim = std::move(reader);
            }
        }
        if (victim) {
            victim->giveWay();  // which releases what it held, at once
        }
        return victim != nullptr;  // else what it holds is on its way to agents already
    });
}

Hub::BodyPlace Hub::readingBody(std::weak_ptr<BodyReader> reader) {
    return bodyReaders_.insert(bodyReaders_.end(), std::move(reader));
}

bool Hub::holdMessage(const std::string& address, std::size_t bytes) {
    return messages_.holdGivingWay(address, bytes, [this](const std::string& key) {
        const auto victim = largestMessageFrom(key);
        if (victim) {
            log("An agent's message gave way to another's: agents' messages fill the relay");
            victim->giveWay();  // which releases what it held, at once
        }
        return victim != nullptr;
    });
}

std::shared_ptr<AgentLink> Hub::largestMessageFrom(const std::string& address) const {
    std::shared_ptr<AgentLink> largest;
    for (const auto& [id, weak] : agents_) {
        auto agent = weak.lock();
        if (agent && agent->heldMessageBytes() > 0 && addressKey(agent->address()) == address &&
            (!largest || agent->heldMessageBytes() > largest->heldMessageBytes())) {
            largest = std::move(agent);
        }
    }
    return largest;
}

bool Hub::isOwnName(std::string_view host) const {
    if (options_.names.empty() && options_.phoneDomain.empty()) {
        return true;
    }
    const std::string name = asciiLowerCase(host);
    if (options_.passthrough) {
        // ID.t.DOMAIN: agents name their own identifier, so that a proxy routing by name sends
        // an agent and its phones to one instance.
        const std::string suffix = ".t." + asciiLowerCase(options_.phoneDomain);
        if (name.size() > suffix.size() && name.ends_with(suffix) &&
            isRelayId(std::string_view(name).substr(0, name.size() - suffix.size()))) {
            return true;
        }
    }
    return name == asciiLowerCase(options_.phoneDomain) ||
           std::any_of(options_.names.begin(), options_.names.end(),
                       [&name](const std::string& own) { return asciiLowerCase(own) == name; });
}

void Hub::attach(const std::string& id, const std::shared_ptr<AgentLink>& agent,
                 const std::string& peer) {
    auto& slot = agents_[id];
    auto previous = slot.lock();
    // Registered before the old one closes, so that its leaving does not unregister this one.
    slot = agent;
    if (previous) {
        previous->close();
    } else {
        ++agentCount_;
    }
    log("Agent connected from " + peer + " (" + std::to_string(agentCount_.load()) + " connected)");
}

void Hub::detach(const std::string& id, const AgentLink* agent, const std::string& peer) {
    auto found = agents_.find(id);
    if (found == agents_.end()) {
        return;
    }
    auto current = found->second.lock();
    if (current && current.get() != agent) {
        return;  // replaced: the newer agent stays
    }
    agents_.erase(found);
    --agentCount_;
    log("Agent lost from " + peer + " (" + std::to_string(agentCount_.load()) + " connected)");
}

std::shared_ptr<AgentLink> Hub::find(const std::string& id) const {
    const auto found = agents_.find(id);
    return found == agents_.end() ? nullptr : found->second.lock();
}

void Hub::closeAll() {
    std::vector<std::shared_ptr<AgentLink>> connected;
    for (const auto& [id, weak] : agents_) {
        if (auto agent = weak.lock()) {
            connected.push_back(std::move(agent));
        }
    }
    for (const auto& agent : connected) {
        agent->close();  // which unregisters it
    }
}

void Hub::log(const std::string& line) const {
    if (options_.log) {
        options_.log(line);
    }
}

bool isRelayId(std::string_view id) {
    return !id.empty() && id.size() <= MAX_ID_LENGTH &&
           std::all_of(id.begin(), id.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0 || c == '-'; });
}

Route routeFor(std::string_view target, std::string_view host, std::string_view phoneDomain) {
    if (!phoneDomain.empty()) {
        const auto [hostName, hostPort] = splitPort(host);
        const auto [domainName, domainPort] = splitPort(phoneDomain);
        const std::string name = asciiLowerCase(hostName);
        const std::string suffix = "." + asciiLowerCase(domainName);
        const bool phonesPort =
            hostPort.empty() || hostPort == (domainPort.empty() ? HTTPS_PORT : domainPort);
        const bool agentsName = name.ends_with(".t" + suffix);  // ID.t.DOMAIN: the relay's own
        if (name.size() > suffix.size() && name.ends_with(suffix) && phonesPort && !agentsName) {
            const std::string id = name.substr(0, name.size() - suffix.size());
            return isRelayId(id) ? Route{Route::Kind::phone, id, std::string(target)} : Route{};
        }
    }
    const std::size_t question = std::min(target.find('?'), target.size());
    const std::string_view path = target.substr(0, question);
    const std::string_view query = target.substr(std::min(question + 1, target.size()));
    if (path == "/healthz") {
        return {Route::Kind::health, {}, {}};
    }
    if (path == AGENT_SOCKET) {
        const auto id = queryValue(query, "id");
        if (!id || !isRelayId(*id)) {
            return {Route::Kind::badAgentId, {}, {}};
        }
        return {Route::Kind::agentSocket, std::string(*id), {}};
    }
    if (!path.starts_with(PHONE_PREFIX)) {
        return {};
    }
    const std::string_view afterPrefix = target.substr(PHONE_PREFIX.size());
    const std::size_t slash = afterPrefix.find('/');
    const std::string_view id = afterPrefix.substr(0, std::min({slash, afterPrefix.find('?')}));
    if (!isRelayId(id)) {
        return {};
    }
    if (!phoneDomain.empty()) {
        // Each computer's pages have an origin of their own: old addresses lead there.
        return {Route::Kind::phoneRedirect, std::string(id),
                "https://" + asciiLowerCase(id) + "." + asciiLowerCase(phoneDomain) +
                    belowAgent(afterPrefix.substr(id.size()))};
    }
    if (slash == std::string_view::npos || slash > id.size()) {
        // "/phone/ID" or "/phone/ID?x": the pages' relative links need the trailing slash.
        return {Route::Kind::phoneRedirect, std::string(id),
                std::string(PHONE_PREFIX) + std::string(id) + "/" +
                    std::string(afterPrefix.substr(id.size()))};
    }
    return {Route::Kind::phone, std::string(id), std::string(afterPrefix.substr(slash))};
}

NameRoute routeServerName(std::string_view serverName, std::string_view phoneDomain,
                          const std::vector<std::string>& names) {
    const std::string domain = asciiLowerCase(splitPort(phoneDomain).first);
    const auto isName = [&](std::string_view own) {
        return asciiLowerCase(splitPort(own).first) == serverName;
    };
    if (serverName.empty() || serverName == domain ||
        std::any_of(names.begin(), names.end(), isName)) {
        return {NameRoute::Kind::relay, {}};
    }
    const std::string suffix = "." + domain;
    if (domain.empty() || serverName.size() <= suffix.size() || !serverName.ends_with(suffix)) {
        return {};
    }
    std::string_view label = serverName.substr(0, serverName.size() - suffix.size());
    if (label.ends_with(".t") && isRelayId(label.substr(0, label.size() - 2))) {
        return {NameRoute::Kind::relay, {}};
    }
    return isRelayId(label) ? NameRoute{NameRoute::Kind::agent, std::string(label)} : NameRoute{};
}

bool isHopByHop(std::string_view name, std::string_view connectionHeader) {
    static constexpr std::array<std::string_view, 10> STANDARD = {"connection",
                                                                  "keep-alive",
                                                                  "proxy-authenticate",
                                                                  "proxy-authorization",
                                                                  "proxy-connection",
                                                                  "te",
                                                                  "trailer",
                                                                  "transfer-encoding",
                                                                  "upgrade",
                                                                  "content-length"};
    for (std::string_view standard : STANDARD) {
        if (equalsIgnoringCase(name, standard)) {
            return true;
        }
    }
    while (!connectionHeader.empty()) {
        const std::size_t comma = std::min(connectionHeader.find(','), connectionHeader.size());
        std::string_view token = connectionHeader.substr(0, comma);
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t')) {
            token.remove_prefix(1);
        }
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) {
            token.remove_suffix(1);
        }
        if (!token.empty() && equalsIgnoringCase(name, token)) {
            return true;
        }
        connectionHeader.remove_prefix(std::min(comma + 1, connectionHeader.size()));
    }
    return false;
}

void RelayMetrics::answered(int status, std::chrono::steady_clock::duration took) {
    ++requests_[status];
    const double seconds = std::chrono::duration<double>(took).count();
    for (std::size_t i = 0; i < BUCKETS.size(); ++i) {
        inBucket_[i] += seconds <= BUCKETS[i] ? 1 : 0;
    }
    ++durations_;
    secondsTotal_ += seconds;
}

std::string RelayMetrics::text(std::size_t agents) const {
    std::ostringstream out;
    out << "# HELP tapdeck_relay_agents Agents connected and proven.\n"
        << "# TYPE tapdeck_relay_agents gauge\n"
        << "tapdeck_relay_agents " << agents << "\n"
        << "# HELP tapdeck_relay_agent_proofs_total Agents' proofs of their identifiers.\n"
        << "# TYPE tapdeck_relay_agent_proofs_total counter\n";
    constexpr std::array<const char*, 3> RESULTS = {"ok", "bad", "timeout"};
    for (std::size_t i = 0; i < RESULTS.size(); ++i) {
        out << "tapdeck_relay_agent_proofs_total{result=\"" << RESULTS[i] << "\"} " << proofs_[i]
            << "\n";
    }
    out << "# HELP tapdeck_relay_phone_requests_total Phones' requests, by the status answered.\n"
        << "# TYPE tapdeck_relay_phone_requests_total counter\n";
    for (const auto& [status, count] : requests_) {
        out << "tapdeck_relay_phone_requests_total{code=\"" << status << "\"} " << count << "\n";
    }
    out << "# HELP tapdeck_relay_phone_request_duration_seconds From a phone's request to its "
           "answer.\n"
        << "# TYPE tapdeck_relay_phone_request_duration_seconds histogram\n";
    for (std::size_t i = 0; i < BUCKETS.size(); ++i) {
        out << "tapdeck_relay_phone_request_duration_seconds_bucket{le=\"" << BUCKETS[i] << "\"} "
            << inBucket_[i] << "\n";
    }
    out << "tapdeck_relay_phone_request_duration_seconds_bucket{le=\"+Inf\"} " << durations_ << "\n"
        << "tapdeck_relay_phone_request_duration_seconds_sum " << secondsTotal_ << "\n"
        << "tapdeck_relay_phone_request_duration_seconds_count " << durations_ << "\n"
        << "# HELP tapdeck_relay_streams Phones' connections carried unread to agents, open.\n"
        << "# TYPE tapdeck_relay_streams gauge\n"
        << "tapdeck_relay_streams " << streamsOpen_ << "\n"
        << "# HELP tapdeck_relay_streams_refused_total Phones' connections refused: their agent "
           "carried as many as it may.\n"
        << "# TYPE tapdeck_relay_streams_refused_total counter\n"
        << "tapdeck_relay_streams_refused_total " << streamsRefused_ << "\n"
        << "# HELP tapdeck_relay_stream_bytes_total Bytes carried unread, by direction.\n"
        << "# TYPE tapdeck_relay_stream_bytes_total counter\n"
        << "tapdeck_relay_stream_bytes_total{direction=\"to_agent\"} " << streamBytes_[0] << "\n"
        << "tapdeck_relay_stream_bytes_total{direction=\"to_phone\"} " << streamBytes_[1] << "\n";
    return out.str();
}

std::string addressKey(const std::string& address) {
    boost::system::error_code ec;
    const auto parsed = boost::asio::ip::make_address_v6(address, ec);
    if (ec || parsed.is_v4_mapped()) {
        return address;
    }
    auto bytes = parsed.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

bool PerAddress::take(const std::string& address) {
    const std::string key = addressKey(address);
    std::size_t& held = held_[key];
    if (limit_ != 0 && held >= limit_) {
        if (held == 0) {
            held_.erase(key);
        }
        return false;
    }
    ++held;
    return true;
}

void PerAddress::give(const std::string& address) {
    const auto found = held_.find(addressKey(address));
    if (found != held_.end() && --found->second == 0) {
        held_.erase(found);
    }
}

AddressSlot& AddressSlot::operator=(AddressSlot&& other) noexcept {
    if (this != &other) {
        reset();
        counts_ = std::exchange(other.counts_, nullptr);
        address_ = std::move(other.address_);
    }
    return *this;
}

void AddressSlot::reset() {
    if (counts_) {
        counts_->give(address_);
        counts_ = nullptr;
    }
}

bool ConnectionBook::admit() {
    // A quarter stays for agents: connections that never become one cannot shut them out.
    const std::size_t forOthers = limit_ - limit_ / 4;
    while (others_ + agents_ >= limit_ || others_ >= forOthers) {
        if (!evictOne()) {
            return false;
        }
    }
    ++others_;
    return true;
}

void ConnectionBook::leave(Kind kind) {
    --(kind == Kind::agent ? agents_ : others_);
}

void ConnectionBook::becomeAgent() {
    --others_;
    ++agents_;
}

ConnectionBook::IdlePlace ConnectionBook::waiting(std::weak_ptr<IdleConnection> connection) {
    return idle_.insert(idle_.end(), {std::move(connection), std::chrono::steady_clock::now()});
}

void ConnectionBook::busy(IdlePlace place) {
    idle_.erase(place);
}

ConnectionBook::IdlePlace ConnectionBook::waitingForProof(std::weak_ptr<IdleConnection> agent) {
    return unproven_.insert(unproven_.end(), {std::move(agent), std::chrono::steady_clock::now()});
}

void ConnectionBook::proven(IdlePlace place) {
    unproven_.erase(place);
}

bool ConnectionBook::evictOne() {
    while (!unproven_.empty() || !idle_.empty()) {
        auto& oldest =
            idle_.empty() || (!unproven_.empty() && unproven_.front().since < idle_.front().since)
                ? unproven_
                : idle_;
        auto connection = oldest.front().connection.lock();
        oldest.pop_front();
        if (connection) {
            connection->evict();  // which leaves the book
            return true;
        }
    }
    return false;
}

std::optional<std::string> replyProblem(const relay::ReplyEnvelope& reply) {
    if (reply.status < 200 || reply.status > 599) {
        return "status " + std::to_string(reply.status);
    }
    if ((reply.status == 204 || reply.status == 304) && !reply.body.empty()) {
        return "a body with status " + std::to_string(reply.status);
    }
    if (reply.contentType.size() > MAX_CONTENT_TYPE) {
        return "a Content-Type of " + std::to_string(reply.contentType.size()) + " bytes";
    }
    return std::nullopt;
}

}  // namespace td::relay_server

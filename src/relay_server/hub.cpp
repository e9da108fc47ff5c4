#include "relay_server/hub.hpp"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace td::relay_server {
namespace {

constexpr std::string_view AGENT_SOCKET = "/mac/ws";
constexpr std::string_view PHONE_PREFIX = "/phone/";
constexpr std::size_t MAX_ID_LENGTH = 128;

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

}  // namespace

void PendingReplies::add(const std::string& reqId, AgentLink::Answer answer) {
    waiting_[reqId] = std::move(answer);
}

void PendingReplies::settle(const relay::ReplyEnvelope& reply) {
    auto found = waiting_.find(reply.reqId);
    if (found == waiting_.end()) {
        return;
    }
    auto answer = std::move(found->second);
    waiting_.erase(found);
    answer(reply);
}

void PendingReplies::remove(const std::string& reqId) {
    waiting_.erase(reqId);
}

void PendingReplies::failAll() {
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& [reqId, answer] : waiting) {
        answer(std::nullopt);
    }
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

Route routeFor(std::string_view target) {
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
    if (slash == std::string_view::npos || slash > id.size()) {
        // "/phone/ID" or "/phone/ID?x": the pages' relative links need the trailing slash.
        return {Route::Kind::phoneRedirect, std::string(id),
                std::string(PHONE_PREFIX) + std::string(id) + "/" +
                    std::string(afterPrefix.substr(id.size()))};
    }
    return {Route::Kind::phone, std::string(id), std::string(afterPrefix.substr(slash))};
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

}  // namespace td::relay_server

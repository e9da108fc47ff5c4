#include "api/pointer_lane.hpp"

#include <algorithm>

#include "common/log.hpp"

namespace td::api {

std::vector<host::PointerEvent> coalesceMoves(std::vector<host::PointerEvent> events) {
    std::vector<host::PointerEvent> out;
    out.reserve(events.size());
    for (const host::PointerEvent& event : events) {
        if (event.kind == host::PointerEvent::Kind::move && !out.empty() &&
            out.back().kind == host::PointerEvent::Kind::move) {
            out.back().dx += event.dx;
            out.back().dy += event.dy;
        } else {
            out.push_back(event);
        }
    }
    return out;
}

PointerLane::PointerLane(std::chrono::milliseconds postHoldSilence)
    : postHoldSilence_(postHoldSilence), thread_([this] { run(); }) {}

PointerLane::~PointerLane() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::string PointerLane::holderOf(const Socket& socket) {
    return "socket " + std::to_string(socket.number);
}

std::string PointerLane::holderOfPosts(const std::string& sender) {
    return "posts of " + sender;
}

bool PointerLane::post(host::Pointer& pointer, std::vector<host::PointerEvent> events,
                       const std::string& sender) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return false;
        }
        const auto from = waiting_.find(sender);
        const std::size_t fromSender = from == waiting_.end() ? 0 : from->second.size();
        if (waitingCount_ + events.size() > MAX_WAITING_EVENTS ||
            fromSender + events.size() > MAX_WAITING_EVENTS_PER_SENDER) {
            pointer_ = &pointer;
            releaseLocked(sender, holderOfPosts(sender), &events);
            changed_.notify_one();
            return false;
        }
        const std::string holder = holderOfPosts(sender);
        queueLocked(pointer, events, sender, holder);
        if (held_.contains(holder)) {
            postHolders_[holder] = {sender, std::chrono::steady_clock::now()};
        } else {
            postHolders_.erase(holder);
        }
    }
    changed_.notify_one();
    return true;
}

std::optional<PointerLane::Socket> PointerLane::admitSocket(const std::string& sender) {
    std::lock_guard lock(mutex_);
    std::size_t& held = sockets_[sender];
    if (held >= MAX_SOCKETS_PER_SENDER) {
        return std::nullopt;
    }
    ++held;
    return Socket{sender, ++lastSocket_};
}

bool PointerLane::postFromSocket(host::Pointer& pointer, std::vector<host::PointerEvent> events,
                                 const Socket& socket, std::function<void()> room) {
    bool hasRoom = true;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return true;  // nothing more is applied, nor read
        }
        pointer_ = &pointer;
        hasRoom = !asideBySender_.contains(socket.sender) && hasRoomLocked(socket.sender);
        if (hasRoom) {
            queueLocked(pointer, events, socket.sender, holderOf(socket));
        } else {
            asideBySender_[socket.sender].push_back(
                {std::move(events), holderOf(socket), std::move(room)});
        }
    }
    changed_.notify_one();  // the lane's thread takes it from here
    return hasRoom;
}

void PointerLane::releaseSocket(const Socket& socket) {
    std::function<void()> room;
    {
        std::lock_guard lock(mutex_);
        if (auto it = sockets_.find(socket.sender); it != sockets_.end() && --it->second == 0) {
            sockets_.erase(it);
        }
        const std::string holder = holderOf(socket);
        if (auto aside = asideBySender_.find(socket.sender); aside != asideBySender_.end()) {
            auto& batches = aside->second;
            for (auto it = batches.begin(); it != batches.end();) {
                if (it->holder == holder && pointer_) {
                    queueLocked(*pointer_, it->events, socket.sender, holder);
                    room = std::move(it->room);  // let go of the connection it keeps alive
                    it = batches.erase(it);
                } else {
                    ++it;
                }
            }
            if (batches.empty()) {
                asideBySender_.erase(aside);
            }
        }
        releaseLocked(socket.sender, holder, nullptr);
    }
    changed_.notify_one();
}

void PointerLane::queueLocked(host::Pointer& pointer, const std::vector<host::PointerEvent>& events,
                              const std::string& sender, const std::string& holder) {
    if (events.empty()) {
        return;
    }
    pointer_ = &pointer;
    auto& queue = waiting_[sender];
    queue.insert(queue.end(), events.begin(), events.end());
    waitingCount_ += events.size();
    auto& held = held_[holder];
    for (const host::PointerEvent& event : events) {
        if (event.kind != host::PointerEvent::Kind::button) {
            continue;
        }
        std::erase(held, event.button);
        if (event.action == host::ButtonAction::down) {
            held.push_back(event.button);
        }
    }
    if (held.empty()) {
        held_.erase(holder);
    }
}

void PointerLane::releaseLocked(const std::string& sender, const std::string& holder,
                                const std::vector<host::PointerEvent>* events) {
    const auto found = held_.find(holder);
    if (found == held_.end() || !pointer_) {
        return;
    }
    // Let go only where nobody else holds the button (two touchpads dragging at once).
    const auto heldElsewhere = [this, &holder](host::Button button) {
        return std::any_of(held_.begin(), held_.end(), [&](const auto& entry) {
            return entry.first != holder &&
                   std::find(entry.second.begin(), entry.second.end(), button) != entry.second.end();
        });
    };
    const auto letsGo = [events](host::Button button) {
        return !events || std::any_of(events->begin(), events->end(), [button](const auto& event) {
                   return event.kind == host::PointerEvent::Kind::button &&
                          event.button == button && event.action != host::ButtonAction::down;
               });
    };
    std::vector<host::PointerEvent> releases;
    std::vector<host::Button> kept;
    for (host::Button button : found->second) {
        if (!letsGo(button)) {
            kept.push_back(button);
        } else if (!heldElsewhere(button)) {
            releases.push_back({host::PointerEvent::Kind::button, 0, 0, button,
                                host::ButtonAction::up});
        }
    }
    if (kept.empty()) {
        held_.erase(found);
    } else {
        found->second = std::move(kept);
    }
    queueLocked(*pointer_, releases, sender, holder);
}

bool PointerLane::hasRoomLocked(const std::string& sender) const {
    const auto from = waiting_.find(sender);
    const std::size_t fromSender = from == waiting_.end() ? 0 : from->second.size();
    return waitingCount_ < MAX_WAITING_EVENTS && fromSender < MAX_WAITING_EVENTS_PER_SENDER;
}

std::vector<std::function<void()>> PointerLane::roomMadeLocked() {
    std::vector<std::function<void()>> room;
    for (auto it = asideBySender_.begin(); it != asideBySender_.end();) {
        auto& batches = it->second;
        while (!batches.empty() && hasRoomLocked(it->first)) {
            queueLocked(*pointer_, batches.front().events, it->first, batches.front().holder);
            room.push_back(std::move(batches.front().room));
            batches.pop_front();
        }
        it = batches.empty() ? asideBySender_.erase(it) : std::next(it);
    }
    return room;
}

std::optional<std::chrono::steady_clock::time_point> PointerLane::letGoOfSilentPostsLocked() {
    const auto now = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> next;
    for (auto it = postHolders_.begin(); it != postHolders_.end();) {
        const auto due = it->second.lastPost + postHoldSilence_;
        if (due <= now) {
            TD_LOG(keys, "a phone's POSTs held a button and fell silent: let go");
            releaseLocked(it->second.sender, it->first, nullptr);
            it = postHolders_.erase(it);
        } else {
            next = std::min(next.value_or(due), due);
            ++it;
        }
    }
    return next;
}

void PointerLane::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        const auto wake = [this] { return stopping_ || waitingCount_ > 0; };
        if (const auto due = letGoOfSilentPostsLocked()) {
            changed_.wait_until(lock, *due, wake);
        } else {
            changed_.wait(lock, wake);
        }
        if (stopping_) {
            return;
        }
        if (waitingCount_ == 0) {
            continue;  // woken for a silent phone's button
        }
        const std::vector<host::PointerEvent> turn = takeTurnLocked();
        host::Pointer* pointer = pointer_;
        lock.unlock();
        if (!pointer->apply(turn)) {
            TD_LOG(keys, "a touchpad batch could not be applied: " + pointer->unavailableText());
        }
        lock.lock();
        const auto room = roomMadeLocked();
        if (!room.empty()) {
            lock.unlock();
            for (const auto& resume : room) {
                resume();
            }
            lock.lock();
        }
    }
}

// A few events of every sender that has some, each sender's in order; a sender with a backlog
// has its moves summed.
std::vector<host::PointerEvent> PointerLane::takeTurnLocked() {
    std::vector<host::PointerEvent> turn;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        auto& queue = it->second;
        const bool backlog = queue.size() > COALESCE_AFTER_EVENTS;
        const auto end = queue.begin() + static_cast<long>(std::min(queue.size(), EVENTS_PER_TURN));
        std::vector<host::PointerEvent> mine(queue.begin(), end);
        queue.erase(queue.begin(), end);
        waitingCount_ -= mine.size();
        if (backlog) {
            mine = coalesceMoves(std::move(mine));
        }
        turn.insert(turn.end(), mine.begin(), mine.end());
        it = queue.empty() ? waiting_.erase(it) : std::next(it);
    }
    return turn;
}

}  // namespace td::api

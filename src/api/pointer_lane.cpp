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

PointerLane::PointerLane() : thread_([this] { run(); }) {}

PointerLane::~PointerLane() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool PointerLane::post(host::Pointer& pointer, std::vector<host::PointerEvent> events,
                       const std::string& sender) {
    {
        std::lock_guard lock(mutex_);
        const auto from = waiting_.find(sender);
        const std::size_t fromSender = from == waiting_.end() ? 0 : from->second.size();
        if (stopping_ || events.empty() || waitingCount_ + events.size() > MAX_WAITING_EVENTS ||
            fromSender + events.size() > MAX_WAITING_EVENTS_PER_SENDER) {
            return !stopping_ && events.empty();
        }
        pointer_ = &pointer;
        waitingCount_ += events.size();
        auto& queue = waiting_[sender];
        queue.insert(queue.end(), events.begin(), events.end());
    }
    changed_.notify_one();
    return true;
}

bool PointerLane::admitSocket(const std::string& sender) {
    std::lock_guard lock(mutex_);
    std::size_t& held = sockets_[sender];
    if (held >= MAX_SOCKETS_PER_SENDER) {
        return false;
    }
    ++held;
    return true;
}

void PointerLane::releaseSocket(const std::string& sender) {
    std::lock_guard lock(mutex_);
    if (auto it = sockets_.find(sender); it != sockets_.end() && --it->second == 0) {
        sockets_.erase(it);
    }
}

void PointerLane::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || waitingCount_ > 0; });
        if (stopping_) {
            return;
        }
        const std::vector<host::PointerEvent> turn = takeTurnLocked();
        host::Pointer* pointer = pointer_;
        lock.unlock();
        if (!pointer->apply(turn)) {
            TD_LOG(keys, "a touchpad batch could not be applied: " + pointer->unavailableText());
        }
        lock.lock();
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

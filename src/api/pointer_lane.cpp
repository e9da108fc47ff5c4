#include "api/pointer_lane.hpp"

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
        std::size_t& fromSender = waitingFrom_[sender];
        if (stopping_ || waiting_.size() + events.size() > MAX_WAITING_EVENTS ||
            fromSender + events.size() > MAX_WAITING_EVENTS_PER_SENDER) {
            return false;
        }
        fromSender += events.size();
        pointer_ = &pointer;
        waiting_.insert(waiting_.end(), events.begin(), events.end());
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
        changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) {
            return;
        }
        auto events = std::exchange(waiting_, {});
        waitingFrom_.clear();
        if (events.size() > COALESCE_AFTER_EVENTS) {
            events = coalesceMoves(std::move(events));
        }
        host::Pointer* pointer = pointer_;
        lock.unlock();
        if (!pointer->apply(events)) {
            TD_LOG(keys, "a touchpad batch could not be applied: " + pointer->unavailableText());
        }
        lock.lock();
    }
}

}  // namespace td::api

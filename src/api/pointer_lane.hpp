#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/pointer.hpp"

namespace td::api {

// Where the touchpad's events are applied: a thread of their own, in the order they came, so
// that a slow backend (the portal answers each call) holds up neither the network thread nor
// other phones' taps. Batches that wait are applied together; when many wait (the backend is
// slower than the phone), consecutive moves go as one.
class PointerLane {
  public:
    // Events waiting at most: past it a new batch is dropped (the phone sends the next frame).
    static constexpr std::size_t MAX_WAITING_EVENTS = 4096;
    // Of which one sender (a phone's token, else an address) may have this many, a message's
    // worth: a flood leaves room for other phones, and what they wait behind stays short.
    static constexpr std::size_t MAX_WAITING_EVENTS_PER_SENDER = 256;
    // Past this many waiting, moves are summed (at a screen's edge that differs a little from
    // moving one by one, which is why it is kept for a backlog).
    static constexpr std::size_t COALESCE_AFTER_EVENTS = 64;
    // Sockets one sender may hold at once: a phone needs one.
    static constexpr std::size_t MAX_SOCKETS_PER_SENDER = 4;

    PointerLane();
    ~PointerLane();  // applies nothing more; waits for the batch being applied
    PointerLane(const PointerLane&) = delete;
    PointerLane& operator=(const PointerLane&) = delete;

    // False (nothing queued) when too much is waiting already, from `sender` or in all.
    bool post(host::Pointer& pointer, std::vector<host::PointerEvent> events,
              const std::string& sender);

    // A socket from `sender` opens; false past MAX_SOCKETS_PER_SENDER.
    bool admitSocket(const std::string& sender);
    void releaseSocket(const std::string& sender);

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    host::Pointer* pointer_ = nullptr;
    std::vector<host::PointerEvent> waiting_;
    std::map<std::string, std::size_t> waitingFrom_;  // how many of them each sender sent
    std::map<std::string, std::size_t> sockets_;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once everything it uses exists
};

// Consecutive moves summed into one: what the pointer does is the same, in fewer calls.
std::vector<host::PointerEvent> coalesceMoves(std::vector<host::PointerEvent> events);

}  // namespace td::api

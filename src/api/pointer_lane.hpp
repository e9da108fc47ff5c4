#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/pointer.hpp"

namespace td::api {

// Where the touchpad's events are applied: a thread of their own, each phone's in the order they
// came, so that a slow backend (the portal answers each call) holds up neither the network thread
// nor other phones' taps. Phones take turns, a few events each, so that one phone's backlog
// delays another's taps by one turn at most; within a long backlog, consecutive moves go as one.
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
    // Events of one sender applied in a turn: a frame's worth and more, and little enough
    // (32 scrolls are 640 wheel clicks at most) that the others' turn comes soon.
    static constexpr std::size_t EVENTS_PER_TURN = 32;
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
    std::vector<host::PointerEvent> takeTurnLocked();

    std::mutex mutex_;
    std::condition_variable changed_;
    host::Pointer* pointer_ = nullptr;
    std::map<std::string, std::deque<host::PointerEvent>> waiting_;  // by sender, none empty
    std::size_t waitingCount_ = 0;
    std::map<std::string, std::size_t> sockets_;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once everything it uses exists
};

// Consecutive moves summed into one: what the pointer does is the same, in fewer calls.
std::vector<host::PointerEvent> coalesceMoves(std::vector<host::PointerEvent> events);

}  // namespace td::api

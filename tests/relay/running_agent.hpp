#pragma once

#include <thread>

#include "app/agent.hpp"
#include "support/eventually.hpp"

namespace td::relay {

// The whole agent in this process, its main loop on a thread of its own.
class RunningAgent {
  public:
    RunningAgent(const Settings& settings, app::AgentEvents events)
        : agent_(settings, mainThread_, std::move(events)) {
        agent_.start();
        loop_ = std::thread([this] { mainThread_.run(); });
    }
    ~RunningAgent() {
        mainThread_.quit();
        loop_.join();
    }

    app::Agent* operator->() { return &agent_; }
    // The port it listens on, once it does; 0: it never did.
    std::uint16_t port() {
        test::eventually([this] { return agent_.server().listeningPort() != 0; });
        return agent_.server().listeningPort();
    }

  private:
    MainThread mainThread_{MainThread::Context::own};
    app::Agent agent_;
    std::thread loop_;
};

}  // namespace td::relay

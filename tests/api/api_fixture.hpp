#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "api/router.hpp"
#include "app/agent.hpp"
#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "common/settings.hpp"
#include "support/temp_dir.hpp"

namespace td::test {

using namespace std::chrono_literals;

// A connection that keeps what the router sends it.
class RecordedConnection : public server::Connection {
  public:
    void sendRaw(std::shared_ptr<const std::string> bytes, bool close, WriteDone done) override;
    void close() override;
    using Connection::sendRaw;

    // Everything sent, once an answer closed the connection (or the timeout passed).
    std::string answer(std::chrono::milliseconds timeout = 10s);
    // Everything sent, once at least `size` bytes were (or the timeout passed).
    std::string sentAtLeast(std::size_t size, std::chrono::milliseconds timeout = 5s);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string sent_;
    bool closed_ = false;
};

struct Answer {
    int status = 0;
    Json body;  // discarded when the body is not JSON
    std::string raw;
};
Answer readAnswer(const std::string& raw);

using Headers = std::map<std::string, std::string>;

// The real agent over a support folder in a temp folder, its requests routed in memory: a
// request in, the answer out, exactly as the server would hand it over. Its main thread runs
// on a thread of the fixture's; it listens only when a test of the wire asks (`listen`).
class ApiFixture {
  public:
    // `extra` endpoints are routed after the agent's own, over the same context.
    explicit ApiFixture(std::function<void(Settings&)> tweak = {},
                        std::vector<api::Endpoint> extra = {});
    ~ApiFixture();

    Answer call(server::RequestSource source, const std::string& method, const std::string& target,
                const std::string& body = "", Headers headers = {});
    // This computer itself: a loopback peer with a loopback Host.
    Answer local(const std::string& method, const std::string& target, const std::string& body = "",
                 Headers headers = {});
    // A phone on the network.
    Answer remote(const std::string& method, const std::string& target,
                  const std::string& body = "", Headers headers = {});
    Answer withToken(const std::string& method, const std::string& target, const std::string& token,
                     const std::string& body = "");

    std::string pairedToken();
    std::string pinBody();
    // An open event stream (a stranger's, or a phone's with its token), its head and greeting
    // already sent.
    std::shared_ptr<RecordedConnection> openEventStream(const std::string& token = "");
    static constexpr std::string_view RELOAD_CHUNK = "17\r\nevent: reload\ndata: 1\n\n\r\n";

    // Starts the agent on a free loopback port, for tests of the wire; returns the port.
    std::uint16_t listen();
    std::uint16_t port() const { return agent_->port(); }

    // What the planner's key function answers.
    std::string apiKey;

    app::Agent& agent() { return *agent_; }
    store::Store& store() { return agent_->store(); }
    server::Server& server() { return agent_->server(); }
    api::PlanRuns& plans() { return *agent_->apiContext().plans; }
    const TempDir& dir() const { return dir_; }
    int panelsShown() const { return panelsShown_; }

  private:
    Settings makeSettings(const std::function<void(Settings&)>& tweak);

    TempDir dir_;
    MainThread mainThread_{MainThread::Context::own};
    std::atomic<int> panelsShown_{0};
    std::promise<std::uint16_t> listening_;
    std::unique_ptr<app::Agent> agent_;
    std::optional<api::Router> extraRouter_;
    std::thread mainLoop_;
};

}  // namespace td::test

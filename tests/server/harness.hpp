#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "server/server.hpp"
#include "support/temp_dir.hpp"

namespace td::test {

// A server on a free loopback port with its own public folder, stopped and joined at the end.
class RunningServer {
  public:
    explicit RunningServer(std::function<void(server::ServerOptions&)> tweak = {})
        : server_(makeOptions(tweak)) {}

    // Hands the server its router and waits until it listens.
    void start(server::Server::Router router) {
        server_.setRouter(std::move(router));
        server_.start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (server_.listeningPort() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_NE(server_.listeningPort(), 0) << "server did not start listening";
    }

    server::Server& server() { return server_; }
    std::uint16_t port() const { return server_.listeningPort(); }
    const TempDir& publicDir() const { return publicDir_; }

  private:
    server::ServerOptions makeOptions(const std::function<void(server::ServerOptions&)>& tweak) {
        server::ServerOptions options;
        options.port = 0;
        options.publicDir = publicDir_.path();
        if (tweak) {
            tweak(options);
        }
        return options;
    }

    TempDir publicDir_;
    server::Server server_;
};

// Polls until the condition holds or the timeout passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace td::test

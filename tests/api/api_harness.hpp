#pragma once

#include <memory>
#include <string>

#include "../server/harness.hpp"
#include "api/router.hpp"
#include "common/json.hpp"
#include "store/store.hpp"
#include "support/loopback_client.hpp"

namespace td::test {

// The real route table over a real server on loopback, with a Store in a temp folder.
class ApiHarness {
  public:
    explicit ApiHarness(std::vector<api::Endpoint> extra = {},
                        std::function<void(store::Store::Options&)> tweakStore = {},
                        std::function<void()> showPanel = {})
        : store_(makeStore(tweakStore)),
          context_{running_.server(), *store_, std::move(showPanel), &https_} {
        router_ = std::make_unique<api::Router>(context_, std::move(extra));
        running_.start([this](const server::ConnectionPtr& c, server::Request r) {
            router_->route(c, std::move(r));
        });
    }
    ~ApiHarness() { running_.server().stop(); }

    struct Answer {
        int status = 0;
        Json body;
        std::string raw;
    };

    // Sends a request from this computer (loopback peer, loopback Host) or, with `remote`,
    // from 127.0.0.2 as a phone on the network would. `headers` are whole lines.
    Answer call(const std::string& method, const std::string& path, const std::string& body = "",
                const std::string& headers = "", bool remote = false) {
        const std::string request =
            method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) +
            "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        Answer answer;
        answer.raw = remote ? exchangeRemote(port(), request) : exchange(port(), request);
        if (answer.raw.size() > 12) {
            answer.status = std::stoi(answer.raw.substr(9, 3));
        }
        answer.body = Json::parse(bodyOf(answer.raw), nullptr, false);
        return answer;
    }
    Answer callWithToken(const std::string& method, const std::string& path,
                         const std::string& token, const std::string& body = "",
                         bool remote = true) {
        return call(method, path, body, "X-TD-Token: " + token + "\r\n", remote);
    }

    // A fresh token, paired with the PIN.
    std::string pairedToken() { return call("POST", "/api/pair", pinBody()).body["token"]; }
    std::string pinBody() const { return R"({"pin":")" + store_->pinValue() + "\"}"; }

    // Reads the event stream's start, so that the next bytes are events.
    LoopbackClient openEventStream() {
        auto stream = LoopbackClient::from("127.0.0.2", port());
        stream.send("GET /api/events HTTP/1.1\r\n\r\n");
        stream.readExactly(server::SSE_HEAD.size() + 18);
        return stream;
    }
    static constexpr std::string_view RELOAD_CHUNK = "17\r\nevent: reload\ndata: 1\n\n\r\n";

    std::uint16_t port() const { return running_.port(); }
    store::Store& store() { return *store_; }
    server::Server& server() { return running_.server(); }
    const TempDir& dir() const { return dir_; }

  private:
    std::unique_ptr<store::Store> makeStore(
        const std::function<void(store::Store::Options&)>& tweak) {
        store::Store::Options options{(dir_.path() / "support").string(),
                                      dir_.path() / "resources"};
        if (tweak) {
            tweak(options);
        }
        return std::make_unique<store::Store>(options);
    }

    TempDir dir_;
    std::unique_ptr<store::Store> store_;
    RunningServer running_;
    HttpsClient https_;  // after the server: goes first, releasing the connections it holds
    api::ApiContext context_;
    std::unique_ptr<api::Router> router_;
};

}  // namespace td::test

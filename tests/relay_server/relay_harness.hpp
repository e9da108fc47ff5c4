#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "net/https_client.hpp"
#include "relay_server/relay_service.hpp"
#include "support/eventually.hpp"
#include "support/test_tls.hpp"

namespace td::test {

// A relay service on loopback with a certificate of the test's own authority, and an HTTPS
// client that trusts that authority alone, for phones (and agents) that reach it.
class RelayHarness : public ::testing::Test {
  protected:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    // Without TLS the relay speaks plain HTTP, as it does behind a proxy; port 0: any free one.
    void startRelay(relay_server::RelayOptions options = {}, bool tls = true,
                    std::uint16_t port = 0) {
        options.address = "127.0.0.1";
        options.port = port;
        options.metricsPort = 0;
        if (tls) {
            options.certFile = pki.certFile();
            options.keyFile = pki.keyFile();
        }
        relay = std::make_unique<relay_server::RelayService>(options);
    }

    std::future<net::HttpResponse> fetchLater(const std::string& method, const std::string& path,
                                              std::string body = {}, Headers headers = {}) {
        auto answer = std::make_shared<std::promise<net::HttpResponse>>();
        net::HttpRequest request;
        request.method = method;
        request.url = "https://127.0.0.1:" + std::to_string(relay->port()) + path;
        request.headers = std::move(headers);
        request.body = std::move(body);
        client.send(request, [answer](net::HttpResponse r) { answer->set_value(std::move(r)); });
        return answer->get_future();
    }

    net::HttpResponse fetch(const std::string& method, const std::string& path,
                            std::string body = {}, Headers headers = {}) {
        auto future = fetchLater(method, path, std::move(body), std::move(headers));
        EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        return future.get();
    }

    // Whether the relay holds this many proven agents, soon.
    bool proven(std::size_t agents) {
        return eventually([&] { return relay->agentCount() == agents; });
    }

    TestPki pki;
    net::HttpsClient client{net::TlsTrust{pki.caFile()}};
    std::unique_ptr<relay_server::RelayService> relay;
};

}  // namespace td::test

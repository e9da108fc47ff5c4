#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "app/agent.hpp"
#include "relay/relay_identity.hpp"
#include "relay/running_agent.hpp"
#include "relay_server/relay_harness.hpp"
#include "support/child_process.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"

namespace td::relay {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// A phone's HTTPS exchange with `name` through the relay's port: its TLS verified against the
// test's authority alone, for that name. The answer, and the certificate's subject.
struct PhoneExchange {
    std::string answer;
    std::string certificateSubject;
    bool verified = false;
};

PhoneExchange phoneExchange(std::uint16_t port, const std::string& name, const std::string& caFile,
                            const std::string& request) {
    PhoneExchange result;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return result;
    }
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL* ssl = SSL_new(context);
    SSL_set_tlsext_host_name(ssl, name.c_str());
    SSL_set1_host(ssl, name.c_str());
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1) {
        result.verified = SSL_get_verify_result(ssl) == X509_V_OK;
        if (X509* peer = SSL_get1_peer_certificate(ssl)) {
            char subject[256] = {};
            X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
            result.certificateSubject = subject;
            X509_free(peer);
        }
        SSL_write(ssl, request.data(), static_cast<int>(request.size()));
        char buffer[4096];
        int got = 0;
        while ((got = SSL_read(ssl, buffer, sizeof buffer)) > 0) {
            result.answer.append(buffer, static_cast<std::size_t>(got));
        }
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    ::close(fd);
    return result;
}

class PassthroughAgentTest : public test::RelayHarness {
  protected:
    // A relay passing phones' connections for relay.test, and an agent's settings for it: its
    // support folder and pages in `dir`, the test's authority trusted alone.
    Settings startRelayAndAgentSettings(const test::TempDir& dir) {
        relay_server::RelayOptions options;
        options.phoneDomain = "relay.test";
        options.passthrough = true;
        startRelay(options);
        dir.write("resources/public/index.html", "phone page");
        dir.write("support/state.json", R"({"pin":"123456","tokens":[]})");
        ::chmod((dir.path() / "support").c_str(), 0700);
        ::setenv("SSL_CERT_FILE", pki.caFile().c_str(), 1);
        ::setenv("SSL_CERT_DIR", noCertificates.path().c_str(), 1);
        Settings settings;
        settings.port = 0;
        settings.supportFolder = dir.path() / "support";
        settings.resourcesFolder = dir.path() / "resources";
        settings.relayHost = "relay.test";
        settings.relayConnect = "127.0.0.1:" + std::to_string(relay->port());
        settings.updateManifest = {"http://127.0.0.1:1/latest.json", true};
        settings.downloadsFolder = dir.path() / "downloads";
        return settings;
    }

    test::TempDir noCertificates;
};

// A phone away from home talks TLS with the computer itself: the relay only passes bytes. What
// it asks is answered by the agent's own server, as a remote phone's request.
TEST_F(PassthroughAgentTest, APhonesTlsThroughTheRelayEndsAtTheComputerAndIsNeverThisComputer) {
    test::TempDir dir;
    const Settings settings = startRelayAndAgentSettings(dir);
    std::filesystem::create_directories(dir.path() / "support/tls");
    std::filesystem::copy_file(pki.agentsCertFile(), dir.path() / "support/tls/cert.pem");
    std::filesystem::copy_file(pki.agentsKeyFile(), dir.path() / "support/tls/key.pem");

    RunningAgent agent(settings, {});
    agent->relay().setEnabled(true);
    ASSERT_TRUE(proven(1));
    const std::string name = agent->store().relayId() + ".relay.test";

    // The agent moves to its own name (ID.t.relay.test) once the relay says it passes streams.
    PhoneExchange page;
    EXPECT_TRUE(eventually([&] {
        page = phoneExchange(relay->port(), name, pki.caFile(),
                             "GET / HTTP/1.1\r\nHost: " + name + "\r\n\r\n");
        return !page.answer.empty();
    }));
    EXPECT_TRUE(page.verified);
    EXPECT_NE(page.certificateSubject.find("CN=agents"), std::string::npos)
        << "the computer's certificate, not the relay's: " << page.certificateSubject;
    EXPECT_NE(page.answer.find("phone page"), std::string::npos) << page.answer;

    // Never this computer: the PIN is not handed out, a pairing with it is.
    const auto admin = phoneExchange(relay->port(), name, pki.caFile(),
                                     "GET /api/admin HTTP/1.1\r\nHost: " + name + "\r\n\r\n");
    EXPECT_EQ(admin.answer.find("123456"), std::string::npos);
    EXPECT_TRUE(admin.answer.ends_with("\r\n\r\n{\"ok\":false}")) << admin.answer;
    const std::string pairing = R"({"pin":"123456","name":"away"})";
    const auto paired = phoneExchange(relay->port(), name, pki.caFile(),
                                      "POST /api/pair HTTP/1.1\r\nHost: " + name +
                                          "\r\nContent-Type: application/json\r\nContent-Length: " +
                                          std::to_string(pairing.size()) + "\r\n\r\n" + pairing);
    EXPECT_NE(paired.answer.find("\"token\""), std::string::npos) << paired.answer;

    // Files go through as on the computer's own network, streamed to its download folder.
    const std::string token =
        Json::parse(test::bodyOf(paired.answer), nullptr, false).value("token", "");
    const std::string photo(3 << 20, 'p');
    const std::string form =
        "--B\r\nContent-Disposition: form-data; name=\"files\"; "
        "filename=\"away.jpg\"\r\n\r\n" +
        photo + "\r\n--B--\r\n";
    const auto shared =
        phoneExchange(relay->port(), name, pki.caFile(),
                      "POST /api/share HTTP/1.1\r\nHost: " + name + "\r\nX-TD-Token: " + token +
                          "\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: " +
                          std::to_string(form.size()) + "\r\n\r\n" + form);
    EXPECT_TRUE(shared.answer.ends_with(R"({"ok":true,"saved":["away.jpg"]})")) << shared.answer;
    std::ifstream saved(settings.downloadsFolder / "away.jpg", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(saved), {}) == photo);

    // Without its certificate the computer answers no phone through the relay.
    std::filesystem::remove(dir.path() / "support/tls/cert.pem");
    EXPECT_TRUE(phoneExchange(relay->port(), name, pki.caFile(),
                              "GET / HTTP/1.1\r\nHost: " + name + "\r\n\r\n")
                    .answer.empty());
}

// A TCP port nothing listens on now.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::filesystem::file_time_type modified(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::last_write_time(path, ignored);
}

// An ACME test CA (pebble) whose names resolve to this machine (its mock DNS), validating
// through the relay's port as a public CA validates through port 443.
class TestAcme {
  public:
    TestAcme(const test::TestPki& pki, std::uint16_t validationPort, const test::TempDir& dir)
        : directoryPort_(freePort()), managementPort_(freePort()) {
        const std::uint16_t dnsPort = freePort();
        const std::uint16_t dnsManagement = freePort();
        dns_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{
            "pebble-challtestsrv", "-defaultIPv4", "127.0.0.1", "-defaultIPv6", "", "-http01", "",
            "-https01", "", "-tlsalpn01", "", "-dns01", "127.0.0.1:" + std::to_string(dnsPort),
            "-management", "127.0.0.1:" + std::to_string(dnsManagement)});
        const auto config = dir.path() / "pebble.json";
        std::ofstream(config)
            << R"({"pebble":{"listenAddress":"127.0.0.1:)" << directoryPort_
            << R"(","managementListenAddress":"127.0.0.1:)" << managementPort_
            << R"(","certificate":")" << pki.certFile() << R"(","privateKey":")" << pki.keyFile()
            << R"(","httpPort":1,"tlsPort":)" << validationPort
            << R"(,"ocspResponderURL":"","externalAccountBindingRequired":false}})";
        // Nonces refused at random: the client must take the fresh one each refusal brings.
        ca_ = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"pebble", "-config", config.string(), "-dnsserver",
                                     "127.0.0.1:" + std::to_string(dnsPort)},
            std::vector<std::string>{"PEBBLE_VA_NOSLEEP=1", "PEBBLE_WFE_NONCEREJECT=30",
                                     "PEBBLE_AUTHZREUSE=0"});
    }

    std::string directoryUrl() const {
        return "https://127.0.0.1:" + std::to_string(directoryPort_) + "/dir";
    }
    std::string rootUrl() const {
        return "https://127.0.0.1:" + std::to_string(managementPort_) + "/roots/0";
    }

  private:
    std::uint16_t directoryPort_;
    std::uint16_t managementPort_;
    std::unique_ptr<test::ChildProcess> dns_;
    std::unique_ptr<test::ChildProcess> ca_;
};

// The computer gets its certificate itself, by tls-alpn-01 answered through the relay, keeps
// it across a restart without asking again, and phones then reach it with it.
TEST_F(PassthroughAgentTest, TheComputerIsCertifiedThroughTheRelayOnceAndKeepsIt) {
    test::TempDir dir;
    Settings settings = startRelayAndAgentSettings(dir);
    TestAcme acme(pki, relay->port(), dir);
    settings.acmeDirectory = acme.directoryUrl();
    net::HttpRequest probe;
    probe.url = acme.directoryUrl();
    ASSERT_TRUE(eventually(
        [&] {
            auto answer = std::make_shared<std::promise<net::HttpResponse>>();
            auto future = answer->get_future();
            client.send(probe, [answer](net::HttpResponse r) { answer->set_value(std::move(r)); });
            return future.get().status == 200;
        },
        20s))
        << "pebble did not start";

    const auto certFile = dir.path() / "support/tls/cert.pem";
    std::string name;
    {
        RunningAgent agent(settings, {});
        agent->relay().setEnabled(true);
        name = agent->store().relayId() + ".relay.test";
        EXPECT_TRUE(eventually(
            [&] { return agent->apiContext().relayCertificate().value("state", "") == "held"; },
            60s))
            << agent->apiContext().relayCertificate().dump();
    }
    for (const char* file : {"account.pem", "key.pem", "cert.pem"}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir.path() / "support/tls" / file).c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    }
    const auto issued = modified(certFile);

    // A restart keeps what it has: no new order.
    RunningAgent agent(settings, {});
    agent->relay().setEnabled(true);
    ASSERT_TRUE(proven(1));
    EXPECT_TRUE(eventually(
        [&] { return agent->apiContext().relayCertificate().value("state", "") == "held"; }));
    EXPECT_EQ(modified(certFile), issued);

    // A phone that trusts the CA's root alone reaches the computer by its name.
    auto root = std::make_shared<std::promise<net::HttpResponse>>();
    net::HttpRequest rootRequest;
    rootRequest.url = acme.rootUrl();
    client.send(rootRequest, [root](net::HttpResponse r) { root->set_value(std::move(r)); });
    dir.write("root.pem", root->get_future().get().body);
    PhoneExchange page;
    EXPECT_TRUE(eventually([&] {
        page = phoneExchange(relay->port(), name, (dir.path() / "root.pem").string(),
                             "GET / HTTP/1.1\r\nHost: " + name + "\r\n\r\n");
        return !page.answer.empty();
    }));
    EXPECT_TRUE(page.verified);
    EXPECT_NE(page.answer.find("phone page"), std::string::npos) << page.answer;
}

}  // namespace
}  // namespace td::relay

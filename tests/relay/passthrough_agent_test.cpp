#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "app/agent.hpp"
#include "relay/relay_identity.hpp"
#include "relay_server/relay_harness.hpp"
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

class PassthroughAgentTest : public test::RelayHarness {};

// A phone away from home talks TLS with the computer itself: the relay only passes bytes. What
// it asks is answered by the agent's own server, as a remote phone's request.
TEST_F(PassthroughAgentTest, APhonesTlsThroughTheRelayEndsAtTheComputerAndIsNeverThisComputer) {
    relay_server::RelayOptions options;
    options.phoneDomain = "relay.test";
    options.passthrough = true;
    startRelay(options);

    test::TempDir dir;
    test::TempDir noCertificates;
    dir.write("resources/public/index.html", "phone page");
    dir.write("support/state.json", R"({"pin":"123456","tokens":[]})");
    std::filesystem::create_directories(dir.path() / "support/tls");
    std::filesystem::copy_file(pki.agentsCertFile(), dir.path() / "support/tls/cert.pem");
    std::filesystem::copy_file(pki.agentsKeyFile(), dir.path() / "support/tls/key.pem");
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

    MainThread mainThread(MainThread::Context::own);
    app::Agent agent(settings, mainThread, {});
    agent.start();
    std::thread loop([&] { mainThread.run(); });
    agent.relay().setEnabled(true);
    ASSERT_TRUE(proven(1));
    const std::string name = agent.store().relayId() + ".relay.test";

    const auto page = phoneExchange(relay->port(), name, pki.caFile(),
                                    "GET / HTTP/1.1\r\nHost: " + name + "\r\n\r\n");
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

    // Without its certificate the computer answers no phone through the relay.
    std::filesystem::remove(dir.path() / "support/tls/cert.pem");
    EXPECT_TRUE(phoneExchange(relay->port(), name, pki.caFile(),
                              "GET / HTTP/1.1\r\nHost: " + name + "\r\n\r\n")
                    .answer.empty());

    mainThread.quit();
    loop.join();
    agent.stop();
}

}  // namespace
}  // namespace td::relay

#include "support/test_tls.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace td::test {

// An authority, and two certificates it signed: one for this machine, one for another host. The
// relay's shell tests make theirs the same way.
TestPki::TestPki() {
    const auto path = [this](const char* name) { return (dir_.path() / name).string(); };
    caFile_ = path("ca.pem");
    certFile_ = path("cert.pem");
    keyFile_ = path("key.pem");
    otherCertFile_ = path("other.pem");
    otherKeyFile_ = path("other-key.pem");
    agentsCertFile_ = path("agents.pem");
    agentsKeyFile_ = path("agents-key.pem");
    dir_.write("make.sh", ". '" TD_SOURCE_DIR
                          "/scripts/relay_fixture.sh'\n"
                          "make_test_certificates . localhost relay.test '*.t.relay.test'\n"
                          "issue_test_certificate . other DNS:other.example\n"
                          "issue_test_certificate . agents 'DNS:*.relay.test'\n");
    const std::string command = "cd '" + dir_.path().string() + "' && bash -e make.sh";
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "openssl could not make the test certificates";
    }
}

std::string httpReply(int status, const std::string& body, const std::string& contentType) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

ScriptedServer::ScriptedServer(Behaviour behaviour, std::string reply, std::string certFile,
                               std::string keyFile)
    : behaviour_(behaviour), reply_(std::move(reply)) {
    if (!certFile.empty()) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(ctx, certFile.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM);
        tls_ = ctx;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
    if (tls_) {
        SSL_CTX_free(static_cast<SSL_CTX*>(tls_));
    }
}

std::vector<std::string> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::setReply(std::string reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
}

void ScriptedServer::serve() {
    while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            continue;
        }
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            handle(fd);
            ::close(fd);
        }
    }
}

void ScriptedServer::handle(int fd) {
    SSL* ssl = nullptr;
    if (tls_) {
        ssl = SSL_new(static_cast<SSL_CTX*>(tls_));
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) <= 0) {  // a client that refused our certificate
            SSL_free(ssl);
            return;
        }
    }
    auto readSome = [&](char* buffer, int size) {
        return ssl ? SSL_read(ssl, buffer, size) : static_cast<int>(::read(fd, buffer, size));
    };
    std::string request;
    char buffer[4096];
    while (true) {
        const std::size_t headEnd = request.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            const std::size_t at = request.find("Content-Length: ");
            const std::size_t length =
                at == std::string::npos || at > headEnd ? 0 : std::stoul(request.substr(at + 16));
            if (request.size() >= headEnd + 4 + length) {
                break;
            }
        }
        const int n = readSome(buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        request.append(buffer, static_cast<std::size_t>(n));
    }
    std::string reply;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        reply = reply_;
    }
    if (behaviour_ == Behaviour::reply) {
        ssl ? SSL_write(ssl, reply.data(), static_cast<int>(reply.size()))
            : static_cast<int>(::write(fd, reply.data(), reply.size()));
    } else if (behaviour_ == Behaviour::hang) {
        while (!stopping_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
}

}  // namespace td::test

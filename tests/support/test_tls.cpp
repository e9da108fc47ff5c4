#include "support/test_tls.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace td::test {
namespace {

struct Issued {
    EVP_PKEY* key;
    X509* cert;
};

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for `cn`, signed by `issuer` (itself when null).
Issued issue(const char* cn, const Issued* issuer, const char* altNames, long serial) {
    Issued out{EVP_EC_gen("P-256"), X509_new()};
    X509_set_version(out.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(out.cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(out.cert), 86400);
    X509_set_pubkey(out.cert, out.key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(out.cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert : out.cert;
    X509_set_issuer_name(out.cert, X509_get_subject_name(issuerCert));
    if (altNames) {
        addExtension(out.cert, issuerCert, NID_subject_alt_name, altNames);
    } else {
        addExtension(out.cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(out.cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    X509_sign(out.cert, issuer ? issuer->key : out.key, EVP_sha256());
    return out;
}

void writePem(const Issued& issued, const std::string& certFile, const std::string& keyFile) {
    FILE* cert = std::fopen(certFile.c_str(), "w");
    PEM_write_X509(cert, issued.cert);
    std::fclose(cert);
    if (!keyFile.empty()) {
        FILE* key = std::fopen(keyFile.c_str(), "w");
        PEM_write_PrivateKey(key, issued.key, nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(key);
    }
}

void release(Issued& issued) {
    X509_free(issued.cert);
    EVP_PKEY_free(issued.key);
}

}  // namespace

TestPki::TestPki() {
    const auto path = [this](const char* name) { return (dir_.path() / name).string(); };
    caFile_ = path("ca.pem");
    certFile_ = path("server.pem");
    keyFile_ = path("server.key");
    otherCertFile_ = path("other.pem");
    otherKeyFile_ = path("other.key");
    Issued ca = issue("Tapdeck Test CA", nullptr, nullptr, 1);
    Issued server = issue("localhost", &ca, "DNS:localhost,IP:127.0.0.1", 2);
    Issued other = issue("other.example", &ca, "DNS:other.example", 3);
    writePem(ca, caFile_, "");
    writePem(server, certFile_, keyFile_);
    writePem(other, otherCertFile_, otherKeyFile_);
    release(ca);
    release(server);
    release(other);
}

void TestPki::trustOnlyThis() const {
    const auto emptyDir = dir_.path() / "no-other-authorities";
    std::filesystem::create_directories(emptyDir);
    ::setenv("SSL_CERT_FILE", caFile_.c_str(), 1);
    ::setenv("SSL_CERT_DIR", emptyDir.c_str(), 1);
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

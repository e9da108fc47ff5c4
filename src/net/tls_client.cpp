#include "net/tls_client.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>
#include <cstdlib>
#include <filesystem>

#include "common/log.hpp"

namespace td::net {
namespace ssl = boost::asio::ssl;

namespace {

// Whether the folder holds certificates by their subjects' hashes ("1a2b3c4d.0").
bool hasHashedCertificates(const std::filesystem::path& folder) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == 10 && name.ends_with(".0")) {
            return true;
        }
    }
    return false;
}

// The system's trust, as set_default_verify_paths gives it (SSL_CERT_FILE and SSL_CERT_DIR
// included), but the folder's certificates by hash, each read when a handshake needs it: the
// whole bundle (some 140 certificates) would be parsed and kept in memory for a daily check.
void trustTheSystem(ssl::context& context, boost::system::error_code& ec) {
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* folder = std::getenv(X509_get_default_cert_dir_env());
    const std::string defaultFolder = X509_get_default_cert_dir();
    if (!file && !folder && !hasHashedCertificates(defaultFolder)) {
        context.set_default_verify_paths(ec);  // no hashes to look certificates up by
        return;
    }
    if (file) {
        context.load_verify_file(file, ec);
    }
    if (!ec) {
        context.add_verify_path(folder ? folder : defaultFolder, ec);
    }
}

}  // namespace

ssl::context makeVerifyingContext(const TlsTrust& trust) {
    ssl::context context(ssl::context::tls_client);
    context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                        ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    context.set_verify_mode(ssl::verify_peer);
    boost::system::error_code ec;
    if (trust.caFile.empty()) {
        trustTheSystem(context, ec);
    } else {
        context.load_verify_file(trust.caFile.string(), ec);
    }
    if (ec) {
        // Nothing is trusted then, so every handshake fails: closed, not open.
        TD_LOG(https, "cannot read the trust store: " + ec.message());
    }
    return context;
}

bool expectPeer(SSL* ssl, const std::string& host) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    if (!ec) {
        // An IP literal: no SNI (names only), and the certificate must name the address.
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    }
    return SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
           SSL_set1_host(ssl, host.c_str()) == 1;
}

}  // namespace td::net

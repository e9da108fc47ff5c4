#include "net/tls_client.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>

#include "common/log.hpp"

namespace td::net {
namespace ssl = boost::asio::ssl;

ssl::context makeVerifyingContext(const TlsTrust& trust) {
    ssl::context context(ssl::context::tls_client);
    context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                        ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    context.set_verify_mode(ssl::verify_peer);
    boost::system::error_code ec;
    if (trust.caFile.empty()) {
        context.set_default_verify_paths(ec);
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

#pragma once

#include <boost/asio/ssl/context.hpp>
#include <string>

#include "net/tls_trust.hpp"

namespace td::net {

// A client context: TLS 1.2 or later, and no peer whose certificate the trust store does not
// vouch for. Reads the trust store, which costs milliseconds: make it when first needed.
boost::asio::ssl::context makeVerifyingContext(const TlsTrust& trust);

// Readies a client connection to `host` (a name or an IP literal): SNI for names, and the name
// or address the peer's certificate must carry. False when either cannot be set; the caller
// must then not connect, since the peer would go unchecked.
bool expectPeer(SSL* ssl, const std::string& host);

}  // namespace td::net

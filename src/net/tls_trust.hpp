#pragma once

#include <filesystem>

namespace td::net {

// Whom a TLS client trusts: the system's store (SSL_CERT_FILE and SSL_CERT_DIR apply), or, when
// `caFile` is set, only the certificates in that file.
struct TlsTrust {
    std::filesystem::path caFile;
};

}  // namespace td::net

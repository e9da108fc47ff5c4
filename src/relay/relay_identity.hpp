#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;

namespace td::relay {

// The agent's key for the relay: an Ed25519 key made once and kept in <support>/relay.key
// (PKCS#8 PEM, mode 0600). Its public half names the agent at the relay (relayIdForKey), and
// it signs the relay's challenge, so no one who only knows the identifier can take it over.
class RelayIdentity {
  public:
    // The key in `file`, or a new one written there when the file is missing. A file that is
    // not such a key is kept aside (".unreadable") and replaced. Nothing when no key can be
    // kept (the folder cannot be written).
    static std::optional<RelayIdentity> loadOrCreate(const std::filesystem::path& file);
    // A new key kept nowhere (tests, benchmarks).
    static std::optional<RelayIdentity> generate();

    const std::string& id() const { return id_; }
    const std::string& rawPublicKey() const { return rawPublicKey_; }
    // The Ed25519 signature of the message; empty when signing failed.
    std::string sign(std::string_view message) const;

  private:
    explicit RelayIdentity(std::shared_ptr<EVP_PKEY> key);

    std::shared_ptr<EVP_PKEY> key_;
    std::string rawPublicKey_;
    std::string id_;
};

}  // namespace td::relay

#include "common/relay_address.hpp"

#include <cstdlib>

namespace td {
namespace {
constexpr const char* DEFAULT_RELAY_HOST = "relay.tapdeck.app";
}

std::string relayHost() {
    const char* fromEnv = std::getenv("TD_RELAY_HOST");
    return fromEnv && *fromEnv ? fromEnv : DEFAULT_RELAY_HOST;
}

std::string relayPhonePageUrl() {
    return "https://" + relayHost() + "/phone/";
}

}  // namespace td

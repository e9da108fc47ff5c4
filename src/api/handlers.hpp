#pragma once

#include <string>

#include "api/router.hpp"

// Endpoint handlers: each takes the request (already admitted by its access rule) and gives
// back the answer.
namespace td::api::handlers {

using server::Request;
using server::Response;

// Pairing
Response pair(const ApiContext& context, const Request& request);
Response pairWithCode(const ApiContext& context, const Request& request);
Response unpair(const ApiContext& context, const Request& request);
Response setPin(const ApiContext& context, const Request& request);
Response connect(const ApiContext& context, const Request& request);
Response airdrop(const ApiContext& context, const Request& request);

// A new one-time pairing link: through the relay's phone page when the relay is on, else to
// this computer's LAN address.
std::string pairingLink(const ApiContext& context);

// Configuration
Response saveConfig(const ApiContext& context, const Request& request);
Response readConfig(const ApiContext& context, const Request& request);

}  // namespace td::api::handlers

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "server/request.hpp"
#include "store/store.hpp"

namespace td::api {

// Who may call an endpoint.
enum class Access {
    open,          // anyone
    localOrToken,  // this computer itself, or a paired phone
    token,         // a paired phone only; this computer too must present a token
};

// This computer's own request: from a loopback peer (never one the relay replayed), with a
// loopback Host (not a name that a web page rebound to 127.0.0.1), no Origin other than the
// agent's own loopback origin and no `Sec-Fetch-Site` naming another site (not a page of
// another site making the browser call us, whatever the method).
bool requestIsLocal(const server::Request& request, std::uint16_t serverPort);

// A browser says a page of another site sent this: `Sec-Fetch-Site` other than same-origin or
// none, or an `Origin` that is not the Host's.
bool browserSaysAnotherSite(const server::Request& request);

// A Host that a public name could stand for: a page of that site, its name pointed at this
// computer (DNS rebinding), would look like our own. Addresses, one-label names and names of
// the local network's own suffixes (.local, .lan, .home.arpa...) are not.
bool isRebindableHost(std::string_view host);

// The token a request shows: its X-TD-Token header, or on a WebSocket upgrade (a browser can set
// no header there) the offered subprotocol "tapdeck-token.TOKEN".
std::optional<std::string> tokenOf(const server::Request& request);

// The request carries a token that the Store accepts.
bool hasValidToken(const server::Request& request, const store::Store& store);

bool isAllowed(Access access, const server::Request& request, const store::Store& store,
               std::uint16_t serverPort);

}  // namespace td::api

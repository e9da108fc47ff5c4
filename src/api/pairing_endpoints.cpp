#include "api/handlers.hpp"
#include "common/json_read.hpp"
#include "host/capabilities.hpp"
#include "host/host_facts.hpp"
#include "host/qr.hpp"

namespace td::api::handlers {
namespace {

// The answer to a pairing attempt; `wrong` when the PIN or code was not the right one.
Response answerFor(const store::PairResult& result, Response wrong) {
    switch (result.kind) {
        case store::PairResult::Kind::ok:
            return server::jsonResponse({{"ok", true}, {"token", result.token}});
        case store::PairResult::Kind::notSaved:
            return server::jsonResponse({{"ok", false}, {"error", "Could not save the pairing"}},
                                        500);
        case store::PairResult::Kind::locked:
            return server::jsonResponse(
                {{"ok", false}, {"error", "Locked \xE2\x80\x94 too many tries"}, {"locked", true}},
                423);
        case store::PairResult::Kind::wrong:
            break;
    }
    return wrong;
}

// Another site's page in the phone's or this computer's browser can post here blindly, or
// from a public name rebound to this computer; it must neither pair nor spend the tries that
// lock pairing for everyone. The relay's own names are not ours to judge.
bool isCrossSite(const Request& request) {
    if (browserSaysAnotherSite(request)) {
        return true;
    }
    const auto host = request.header("host");
    return request.source != server::RequestSource::relay && host && isRebindableHost(*host);
}

Response crossSiteAnswer() {
    return server::jsonResponse({{"ok", false}, {"error", "Cross-site request refused"}}, 403);
}

}  // namespace

std::string bodyString(const Request& request, std::string_view key) {
    return jsonread::string(server::bodyJSON(request), key).value_or("");
}

Response pair(const ApiContext& context, const Request& request) {
    if (isCrossSite(request)) {
        return crossSiteAnswer();
    }
    return answerFor(context.store.pair(bodyString(request, "pin")),
                     server::jsonResponse({{"ok", false}, {"error", "Wrong PIN"}}, 401));
}

Response pairWithCode(const ApiContext& context, const Request& request) {
    if (isCrossSite(request)) {
        return crossSiteAnswer();
    }
    return answerFor(
        context.store.consumeCode(bodyString(request, "code")),
        server::jsonResponse({{"ok", false}, {"error", "Invalid or expired code"}}, 401));
}

Response unpair(const ApiContext& context, const Request& request) {
    context.store.removeToken(request.header("x-td-token").value_or(""));
    return server::jsonResponse({{"ok", true}});
}

Response setPin(const ApiContext& context, const Request& request) {
    // A phone that chose the PIN would know it, and pair as many more as it liked.
    if (!requestIsLocal(request, context.port())) {
        return server::jsonResponse(
            {{"ok", false}, {"error", "The PIN is changed on the computer itself"}}, 403);
    }
    return server::jsonResponse({{"ok", context.store.setPin(bodyString(request, "pin"))}});
}

namespace {

std::string lanPairingLink(const ApiContext& context, const std::string& address,
                           const std::string& code) {
    return "http://" + address + ":" + std::to_string(context.port()) + "/?pair=" + code;
}

std::string pairingLinkFor(const ApiContext& context, const std::string& code) {
    if (context.store.relayEnabled()) {
        return context.relayUrl() + "/?pair=" + code;
    }
    return lanPairingLink(context, host::lanIP(), code);
}

}  // namespace

std::string pairingLink(const ApiContext& context) {
    return pairingLinkFor(context, context.store.mintCode());
}

// The link and its QR code, and, for a phone that cannot reach the first address, every
// address of this computer with a link of its own (the same one-time code: whichever is used
// first uses it up), and the firewalls that may stand in the way.
Response connect(const ApiContext& context, const Request& request) {
    // This computer pairs as many phones as it likes; a phone pairs a few, at a pace.
    const auto code = requestIsLocal(request, context.port())
                          ? std::optional(context.store.mintCode())
                          : context.store.mintCodeFor(tokenOf(request).value_or(""));
    if (!code) {
        return server::jsonResponse(
            {{"ok", false},
             {"error", "This phone may pair no more phones for now: unpair one it paired, or "
                       "pair from the computer"}},
            429);
    }
    const std::string url = pairingLinkFor(context, *code);
    Json addresses = Json::array();
    for (const host::LanAddress& lan : host::lanAddresses()) {
        const std::string link = lanPairingLink(context, lan.address, *code);
        addresses.push_back({{"interface", lan.interface},
                             {"address", lan.address},
                             {"defaultRoute", lan.defaultRoute},
                             {"url", link},
                             {"qr", host::qrDataURL(link).value_or("")}});
    }
    Json firewall = Json::array();
    for (const auto& hint : host::firewallHints(context.port(), host::readFirewallFacts())) {
        firewall.push_back({{"firewall", hint.firewall}, {"advice", hint.advice}});
    }
    return server::jsonResponse({{"ok", true},
                                 {"url", url},
                                 {"qr", host::qrDataURL(url).value_or("")},
                                 {"relay", context.store.relayEnabled()},
                                 {"addresses", std::move(addresses)},
                                 {"firewall", std::move(firewall)}});
}

Response airdrop(const ApiContext&, const Request&) {
    return server::jsonResponse({{"ok", false}, {"error", "Scan the QR code instead."}});
}

}  // namespace td::api::handlers

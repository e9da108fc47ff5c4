#include "api/action_kinds.hpp"
#include "api/handlers.hpp"
#include "api/router.hpp"

namespace td::api {
namespace {

// Who hears what the desktop is doing on an event stream: this computer's own user, or a phone
// for as long as its token stays valid. Anyone else hears only that the configuration changed.
std::function<bool()> hearsWhatPlays(const ApiContext& context, server::Connection& connection,
                                     server::Request request) {
    if (const auto token = tokenOf(request); token && context.store.tokenValid(*token)) {
        return [&store = context.store, token = *token] { return store.tokenValid(token); };
    }
    if (request.source == server::RequestSource::loopbackAddress && connection.peerIsThisUser()) {
        request.source = server::RequestSource::loopback;
    }
    if (requestIsLocal(request, context.port())) {
        return [] { return true; };
    }
    return {};
}

}  // namespace

std::vector<Endpoint> endpoints(const ApiContext& context) {
    using Method = MethodRule;
    // A handler that may touch the Store's disk or a tool runs on the work pool.
    auto with = [&context](Handler handler) { return bound(context, handler); };
    const auto any = Method::anyMethod();
    const auto pool = Runs::onWorkPool;

    std::vector<Endpoint> rows = {
        {"/api/events", any, Access::open, Runs::onNetworkThread,
         Takeover([&context](const server::ConnectionPtr& c, const server::Request& r) {
             if (!c->canStream()) {
                 // Said at once, so that a page behind such a relay polls instead of waiting.
                 return c->json({{"ok", false}, {"error", "No event stream through this relay"}},
                                501);
             }
             context.server.openSSE(c, r.peer, hearsWhatPlays(context, *c, r));
         })},
        {"/api/pair", any, Access::open, pool, with(handlers::pair)},
        {"/api/pair-code", any, Access::open, pool, with(handlers::pairWithCode)},
        {"/api/unpair", any, Access::token, pool, with(handlers::unpair)},
        {"/api/config", Method::only("POST"), Access::localOrToken, pool,
         with(handlers::saveConfig), DOCUMENT_BODY},
        {"/api/config", Method::allBut("POST"), Access::token, Runs::onNetworkThread,
         Takeover([&context](const server::ConnectionPtr& c, const server::Request& r) {
             handlers::readConfig(context, c, r);
         })},
        {"/api/set-pin", any, Access::localOrToken, pool, with(handlers::setPin)},
        {"/api/connect", any, Access::localOrToken, pool, with(handlers::connect)},
        {"/api/airdrop", any, Access::localOrToken, pool, with(handlers::airdrop)},
        {"/api/icon", any, Access::open, pool, with(handlers::icon)},
        {"/api/share", Method::only("POST"), Access::token, pool,
         Takeover([&context](const server::ConnectionPtr& c, const server::Request& r) {
             handlers::share(context, c, r);
         }),
         server::STREAMED_BODY},
        {"/api/inbox", Method::only("POST"), Access::localOrToken, pool, with(handlers::offer),
         OFFER_BODY},
        {"/api/send-to-phone", Method::only("POST"), Access::localOrToken, Runs::onNetworkThread,
         with(handlers::chooseFilesToSend)},
        {"/api/inbox", Method::allBut("POST"), Access::localOrToken, Runs::onNetworkThread,
         with(handlers::readInbox)},
        {"/api/inbox/", Method::allBut("POST"), Access::localOrToken, pool,
         Takeover([&context](const server::ConnectionPtr& c, const server::Request& r) {
             handlers::fetchOffered(context, c, r);
         })},
        {"/api/focus", Method::allBut("POST"), Access::localOrToken, Runs::onNetworkThread,
         with(handlers::readFocus)},
        {"/api/notify", Method::only("POST"), Access::localOrToken, pool, with(handlers::notify),
         SMALL_BODY},
        {"/api/now-playing", Method::allBut("POST"), Access::localOrToken, pool,
         with(handlers::nowPlaying)},
        {"/api/media/art", Method::allBut("POST"), Access::localOrToken, pool,
         with(handlers::mediaArt)},
        {"/api/plan", any, Access::token, pool,
         Takeover([&context](const server::ConnectionPtr& c, const server::Request& r) {
             handlers::plan(context, c, r);
         }),
         ACTION_BODY},
        {"/api/flows", any, Access::localOrToken, pool, with(handlers::editFlows), DOCUMENT_BODY},
        {"/api/capabilities", any, Access::localOrToken, pool, with(handlers::capabilities)},
        {"/api/keys/allow", Method::only("POST"), Access::localOrToken, pool,
         with(handlers::allowKeys)},
        {"/api/open-admin", any, Access::localOrToken, pool, with(handlers::openAdmin)},
        {"/api/admin", any, Access::localOrToken, pool, with(handlers::admin), SMALL_BODY,
         /*refusal*/ 200},
    };
    for (ActionKind& kind : actionKinds(context)) {
        std::move(kind.endpoints.begin(), kind.endpoints.end(), std::back_inserter(rows));
    }
    return rows;
}

}  // namespace td::api

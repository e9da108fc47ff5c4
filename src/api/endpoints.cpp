#include "api/handlers.hpp"
#include "api/router.hpp"

namespace td::api {

std::vector<Endpoint> endpoints(const ApiContext& context) {
    using Method = MethodRule;
    // Binds a handler to the context; every such handler may touch the Store's disk, so it
    // runs on the work pool.
    auto with = [&context](server::Response (*handler)(const ApiContext&, const server::Request&)) {
        return Answer(
            [&context, handler](const server::Request& r) { return handler(context, r); });
    };
    const auto any = Method::anyMethod();
    const auto pool = Runs::onWorkPool;

    return {
        {"/api/events", any, Access::open, Runs::onNetworkThread,
         Takeover([&context](const server::ConnectionPtr& c, const server::Request& r) {
             context.server.openSSE(c, r.peer);
         })},
        {"/api/pair", any, Access::open, pool, with(handlers::pair)},
        {"/api/pair-code", any, Access::open, pool, with(handlers::pairWithCode)},
        {"/api/unpair", any, Access::token, pool, with(handlers::unpair)},
        {"/api/config", Method::only("POST"), Access::localOrToken, pool,
         with(handlers::saveConfig), DOCUMENT_BODY},
        {"/api/config", Method::allBut("POST"), Access::token, pool, with(handlers::readConfig)},
        {"/api/set-pin", any, Access::localOrToken, pool, with(handlers::setPin)},
        {"/api/connect", any, Access::localOrToken, pool, with(handlers::connect)},
        {"/api/airdrop", any, Access::localOrToken, pool, with(handlers::airdrop)},
        {"/api/launch", any, Access::token, pool, with(handlers::launch), ACTION_BODY},
        {"/api/url", any, Access::token, pool, with(handlers::openUrl), ACTION_BODY},
        {"/api/shortcut", any, Access::token, pool, with(handlers::shortcut), ACTION_BODY},
        {"/api/gesture", any, Access::token, pool, with(handlers::gesture), ACTION_BODY},
        {"/api/media", any, Access::token, pool, with(handlers::media), ACTION_BODY},
        {"/api/volume", Method::only("POST"), Access::token, pool, with(handlers::setVolume),
         ACTION_BODY},
        {"/api/volume", Method::allBut("POST"), Access::token, pool, with(handlers::readVolume)},
        {"/api/system", any, Access::token, pool, with(handlers::system), ACTION_BODY},
        {"/api/clipboard", any, Access::token, pool, with(handlers::clipboard), ACTION_BODY},
        {"/api/type", any, Access::token, pool, with(handlers::typeText), ACTION_BODY},
        {"/api/icon", any, Access::open, pool, with(handlers::icon)},
        {"/api/shortcuts", any, Access::localOrToken, pool, with(handlers::shortcuts)},
        {"/api/run-plan", any, Access::token, pool, with(handlers::runPlan), ACTION_BODY},
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
}

}  // namespace td::api

#include "api/handlers.hpp"
#include "host/host_facts.hpp"
#include "store/config_model.hpp"
#include "update/version.hpp"

namespace td::api::handlers {

Response saveConfig(const ApiContext& context, const Request& request) {
    // A body that is not a document must not wipe the user's pages.
    auto document = parseOrderedJson(request.body);
    if (!document || !document->is_object()) {
        return server::jsonResponse({{"ok", false}, {"error", "Invalid config"}}, 400);
    }
    // Kept only when it can be read back at the next start: otherwise the next start would
    // fall back to the defaults.
    if (!store::fitsTheStore(store::sanitize(*document))) {
        return server::jsonResponse({{"ok", false}, {"error", "Configuration too large"}}, 400);
    }
    const bool saved = context.store.saveConfig(*document);
    if (context.switchRelay) {
        context.switchRelay(context.store.relayEnabled());
    }
    context.server.broadcastReload();  // in use either way
    if (!saved) {
        return server::jsonResponse({{"ok", false}, {"error", "Could not save the configuration"}},
                                    500);
    }
    return server::jsonResponse({{"ok", true}});
}

Response readConfig(const ApiContext& context, const Request&) {
    return server::jsonResponse({{"ok", true},
                                 {"config", context.store.snapshotConfig()},
                                 {"version", update::currentVersion()},
                                 {"host", host::computerName()},
                                 {"relayUrl", context.relayUrl()},
                                 {"relayEnabled", context.store.relayEnabled()}});
}

}  // namespace td::api::handlers

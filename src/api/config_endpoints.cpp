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
    const Json sanitized = store::sanitize(*document);
    if (!store::fitsTheStore(sanitized)) {
        return server::jsonResponse({{"ok", false}, {"error", "Configuration too large"}}, 400);
    }
    if (auto problem = tiles::tileProblemIn(sanitized)) {
        return server::jsonResponse({{"ok", false}, {"error", *problem}}, 400);
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

namespace {

std::string configAnswer(const KeptConfigAnswer::Parts& parts) {
    const auto quoted = [](const std::string& text) { return dumpCompact(Json(text)); };
    std::string body;
    body.reserve(parts.config->size() + 256);
    body.append(R"({"ok":true,"config":)")
        .append(*parts.config)
        .append(R"(,"version":)")
        .append(quoted(update::currentVersion()))
        .append(R"(,"host":)")
        .append(quoted(parts.host))
        .append(R"(,"relayUrl":)")
        .append(quoted(parts.relayUrl))
        .append(R"(,"relayEnabled":)")
        .append(parts.relayEnabled ? "true}" : "false}");
    return server::serialize(server::textResponse(200, "application/json", std::move(body)));
}

}  // namespace

void readConfig(const ApiContext& context, const server::ConnectionPtr& connection,
                const Request&) {
    KeptConfigAnswer::Parts parts{context.store.configJson(), context.computerName->get(),
                                  context.relayUrl(), context.store.relayEnabled()};
    connection->sendRaw(context.configAnswer->get(std::move(parts), configAnswer), true);
}

}  // namespace td::api::handlers

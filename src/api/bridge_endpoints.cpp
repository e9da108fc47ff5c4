#include "api/handlers.hpp"
#include "bridge/bridge.hpp"
#include "common/json_read.hpp"
#include "host/clipboard.hpp"

namespace td::api::handlers {

Response clipboardBusy() {
    return server::jsonResponse(
        {{"ok", false}, {"error", "The clipboard is busy with another request: try again"}}, 429);
}

std::unique_ptr<SenderTurns::Turn> clipboardTurn(const ApiContext& context,
                                                 const Request& request) {
    // Per family: the tokens a phone minted with its codes share its turn.
    const auto token = tokenOf(request);
    return context.clipboardTurns->take(token ? context.store.familyOf(*token) : request.peer);
}

Response readClipboard(const ApiContext& context, const Request& request) {
    const auto turn = clipboardTurn(context, request);
    if (!turn) {
        return clipboardBusy();
    }
    const auto read = host::readClipboard(context.settings.session);
    if (!read) {
        return server::jsonResponse(
            {{"ok", false},
             {"error", context.settings.session == DesktopSession::none
                           ? "There is no desktop session to read the clipboard of"
                           : "The clipboard could not be read: the program holding it did not "
                             "hand it over"}},
            503);
    }
    Json answer = {{"ok", true},
                   {"text", read->text ? Json(*read->text) : Json(nullptr)},
                   {"changed", context.bridge ? context.bridge->clipboardChangedAt() : 0}};
    if (read->tooLarge) {
        answer["tooLarge"] = true;
    }
    return server::jsonResponse(answer);
}

Response readFocus(const ApiContext& context, const Request&) {
    const auto app = context.bridge ? context.bridge->focusedApp() : std::nullopt;
    return server::jsonResponse(
        {{"ok", true},
         {"app", app ? Json(*app) : Json(nullptr)},
         {"recent", context.bridge ? Json(context.bridge->recentApps()) : Json::array()}});
}

Response notify(const ApiContext& context, const Request& request) {
    if (!requestIsLocal(request, context.port())) {
        return server::jsonResponse(
            {{"ok", false}, {"error", "Only this computer's own programs send notifications"}},
            403);
    }
    const UntrustedJson body = server::bodyJSON(request);
    const auto summary = jsonread::string(body, "summary");
    if (!summary || summary->empty()) {
        return server::jsonResponse(
            {{"ok", false}, {"error", "A notification needs a text (\"summary\")"}}, 400);
    }
    if (context.bridge) {
        context.bridge->notify(*summary, jsonread::string(body, "body").value_or(""));
    }
    return server::jsonResponse({{"ok", true}});
}

}  // namespace td::api::handlers

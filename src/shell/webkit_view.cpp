// The control panel's web view (WebKitGTK), a module of its own: the panel loads it when it first
// opens, so an agent whose panel is never opened never maps WebKit.
#include <gmodule.h>
#include <webkit2/webkit2.h>

#include <string>

#include "shell/shell_abi.hpp"

namespace {

// The agent's own pages stay in the panel; a link to anywhere else opens in the browser.
gboolean keepOwnPagesOnly(WebKitWebView*, WebKitPolicyDecision* decision,
                          WebKitPolicyDecisionType type, gpointer origin) noexcept {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        return FALSE;
    }
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const gchar* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    const auto* own = static_cast<const std::string*>(origin);
    if (uri && std::string(uri).starts_with(*own) &&
        type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
        return FALSE;
    }
    if (uri) {
        GError* error = nullptr;
        if (!g_app_info_launch_default_for_uri(uri, nullptr, &error)) {
            g_error_free(error);
        }
    }
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

}  // namespace

extern "C" G_MODULE_EXPORT void* tdWebViewNew(const char* url) {
    GtkWidget* view = webkit_web_view_new();
    const std::string page(url);
    // "http://127.0.0.1:PORT/": the origin of the agent's own pages.
    auto* origin = new std::string(page.substr(0, page.find('/', page.find("//") + 2) + 1));
    g_signal_connect_data(
        view, "decide-policy", G_CALLBACK(keepOwnPagesOnly), origin,
        +[](gpointer data, GClosure*) noexcept { delete static_cast<std::string*>(data); },
        GConnectFlags{});
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), url);
    return view;
}

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

#include "api/access.hpp"
#include "api/kept_answers.hpp"
#include "api/media_art.hpp"
#include "api/plan_runs.hpp"
#include "api/pointer_lane.hpp"
#include "api/sender_turns.hpp"
#include "bridge/bridge.hpp"
#include "common/settings.hpp"
#include "host/host_facts.hpp"
#include "host/icons.hpp"
#include "host/keys.hpp"
#include "host/live_state.hpp"
#include "host/notifications.hpp"
#include "host/pointer.hpp"
#include "net/https_client.hpp"
#include "server/connection.hpp"
#include "server/request.hpp"
#include "server/response.hpp"
#include "server/server.hpp"
#include "server/static_files.hpp"
#include "store/config_model.hpp"
#include "store/store.hpp"
#include "tiles/latest_runs.hpp"
#include "tiles/tile_board.hpp"
#include "tiles/tile_sources.hpp"
#include "transfer/downloads.hpp"
#include "transfer/inbox.hpp"

namespace td::api {

// What every handler may use; the agent owns all of it.
struct ApiContext {
    const Settings& settings;
    server::Server& server;
    store::Store& store;
    net::HttpsClient& https;  // carries the planner's requests
    host::IconSource& icons;
    host::Keyboard& keyboard;
    host::Pointer& pointer;
    // Brings the control panel forward on the main thread; empty when there is no GUI.
    std::function<void()> showPanel = {};
    // Asks on the main thread which files to offer the phones; empty when there is no desktop.
    std::function<void()> chooseFilesToSend = {};
    // Turns the relay connection on or off; empty when the agent has no relay client.
    std::function<void(bool enabled)> switchRelay = {};
    // Whether the relay connection is up; empty when the agent has no relay client.
    std::function<bool()> relayConnected = {};
    // Where the relay said this agent's phones go (no trailing "/"); empty until it said.
    std::function<std::string()> relayPhoneUrl = {};
    // This computer's certificate for a relay that passes phones' TLS unread (see
    // CertificateKeeper::status); empty when the agent keeps none.
    std::function<Json()> relayCertificate = {};
    // Shared by every copy of the context: the agent stops the runs before the server.
    std::shared_ptr<PlanRuns> plans = std::make_shared<PlanRuns>();
    // Where touchpad sockets apply their events, off the network thread.
    std::shared_ptr<PointerLane> pointerLane = std::make_shared<PointerLane>();
    // Key actions (texts, combinations, gestures) each phone has under way or waiting for the
    // keyboard: one under way and a few taps more.
    std::shared_ptr<SenderTurns> keyboardTurns = std::make_shared<SenderTurns>(4);
    // Clipboard reads and writes under way: an app holding the clipboard may take seconds to
    // hand it over, and no phone's taps may hold the workers every phone shares meanwhile.
    std::shared_ptr<SenderTurns> clipboardTurns = std::make_shared<SenderTurns>(1, 4);
    // The computer's name as the configuration's readers are told it, and their answer.
    std::shared_ptr<RecentText> computerName =
        std::make_shared<RecentText>(host::computerName, std::chrono::seconds(10));
    std::shared_ptr<KeptConfigAnswer> configAnswer = std::make_shared<KeptConfigAnswer>();
    // The desktop's players and sound as they change; none where nothing follows them.
    const host::LiveState* liveState = nullptr;
    // The tiles' live state and the Shortcuts that feed it; none in a context without them.
    tiles::TileBoard* tiles = nullptr;
    tiles::TileSources* tileSources = nullptr;
    // Sliders' Shortcuts: one run per slider, the last value always.
    std::shared_ptr<tiles::LatestRuns> sliderRuns = std::make_shared<tiles::LatestRuns>();
    std::shared_ptr<ArtCache> art = std::make_shared<ArtCache>();
    // What this computer offers its phones; none in a context without it.
    transfer::Inbox* inbox = nullptr;
    // Says on the desktop what arrived; none in a context without it.
    host::Notifier* notifier = nullptr;
    // The clipboard and notifications followed for the phones; none in a context without them.
    bridge::Bridge* bridge = nullptr;
    // Uploads under way: a phone's few, and a bound for all of them together.
    std::shared_ptr<SenderTurns> uploads = std::make_shared<SenderTurns>(2, 6);
    // The disk space those uploads were promised.
    std::shared_ptr<transfer::SpaceBudget> space = std::make_shared<transfer::SpaceBudget>();

    // The port the agent answers on (the one it listens on, once bound).
    std::uint16_t port() const;
    // The relay's address for this agent's phones, without the trailing "/": the relay's own
    // word once it gave one, else the address its host serves by default.
    std::string relayUrl() const;
};

// Which methods an endpoint answers.
struct MethodRule {
    enum class Kind { any, only, allBut };
    Kind kind = Kind::any;
    std::string_view method;

    static MethodRule anyMethod() { return {}; }
    static MethodRule only(std::string_view m) { return {Kind::only, m}; }
    static MethodRule allBut(std::string_view m) { return {Kind::allBut, m}; }
    bool matches(std::string_view requestMethod) const;
};

// Where a handler runs: cheap answers stay on the network thread; anything that may block
// (tools, the Store's disk writes, pauses) goes to the work pool.
enum class Runs { onNetworkThread, onWorkPool };

// Most handlers take a request and give back an answer.
using Answer = std::function<server::Response(const server::Request&)>;
using Handler = server::Response (*)(const ApiContext&, const server::Request&);
// The handler bound to the context, which must outlive it.
Answer bound(const ApiContext& context, Handler handler);
// A few keep the connection (event streams, deferred answers).
using Takeover = std::function<void(const server::ConnectionPtr&, const server::Request&)>;

// The largest body each kind of request needs; a larger one is refused (413) before it is read.
// Pairing, a PIN or a request without input: a few short members.
inline constexpr std::size_t SMALL_BODY = 4 * 1024;
// Actions and plans: typed or pasted text, a list of steps.
inline constexpr std::size_t ACTION_BODY = 64 * 1024;
// A phone's clipboard sent whole: as much text as the computer's gives, escaped.
inline constexpr std::size_t CLIPBOARD_BODY = 2 * 1024 * 1024 + 1024;
// A touchpad's batch of events, or one message of its socket: a frame's worth, with room.
inline constexpr std::size_t POINTER_BODY = 16 * 1024;
// What this computer offers its phones: texts of up to 1 MiB, escaped.
inline constexpr std::size_t OFFER_BODY = 8 * 1024 * 1024;
// The configuration and flows: every page and tile the user made.
inline constexpr std::size_t DOCUMENT_BODY = store::MAX_CONFIG_BYTES;

struct Endpoint {
    // The path, or with a final "/" every path below it ("/api/tiles/" for "/api/tiles/ID").
    std::string_view path;
    MethodRule method;
    Access access;
    Runs runs;
    std::variant<Answer, Takeover> handler;
    std::size_t maxBody = SMALL_BODY;
    int refusalStatus = 401;  // {"ok": false} with this status when access is refused
};

// The API's single entry point: OPTIONS at once, then the endpoint table (access rule first,
// on the network thread; then, where the handler runs, a body nested too deep is refused; then
// the handler), then static files for GET, and 404
// for the rest. A handler that throws is answered 500. Must outlive the server's running; its
// handlers refer to its own context, so it is neither copied nor moved.
class Router {
  public:
    // The agent's endpoints, then `extra` ones (tests add their own).
    explicit Router(ApiContext context, std::vector<Endpoint> extra = {});
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    void route(const server::ConnectionPtr& connection, server::Request request) const;

    // The largest body the endpoint for `method` and `path` takes (static files take none).
    std::size_t bodyLimit(const std::string& method, const std::string& path) const;

  private:
    const Endpoint* find(std::string_view method, std::string_view path) const;
    bool admits(const Endpoint& endpoint, server::Connection& connection,
                server::Request& request) const;
    void run(const Endpoint& endpoint, const server::ConnectionPtr& connection,
             const server::Request& request) const;

    ApiContext context_;
    std::vector<Endpoint> table_;
    mutable server::StaticFiles staticFiles_;
};

// The agent's endpoint table; the handlers refer to `context`, which must outlive them.
std::vector<Endpoint> endpoints(const ApiContext& context);

}  // namespace td::api

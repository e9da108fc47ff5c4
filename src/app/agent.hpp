#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "acme/certificate_keeper.hpp"
#include "api/router.hpp"
#include "bridge/bridge.hpp"
#include "common/main_thread.hpp"
#include "common/settings.hpp"
#include "host/icons.hpp"
#include "host/input.hpp"
#include "host/keys.hpp"
#include "host/live_state.hpp"
#include "net/https_client.hpp"
#include "relay/relay_client.hpp"
#include "relay/relay_identity.hpp"
#include "relay/stream_certificate.hpp"
#include "server/server.hpp"
#include "store/store.hpp"
#include "tiles/tile_board.hpp"
#include "tiles/tile_sources.hpp"
#include "update/update_check.hpp"

namespace td::app {

class Agent;

// Why the agent runs without its HTTP server: its port is held, and by whom.
struct PortProblem {
    std::string headline;  // a short line, for a menu
    std::string details;   // what it means for phones, and what to do
};
// `holder`: the user whose socket listens on the port, where the kernel tells it; `self`: ours.
PortProblem describeHeldPort(std::uint16_t port, std::optional<unsigned> holder, unsigned self);

// What the agent tells the mode that runs it (headless or the desktop shell). Each is called
// on the main thread, and only while the agent exists.
struct AgentEvents {
    std::function<void(Agent&, std::uint16_t port)> listening;
    // The port stayed taken through the fast attempts (binding goes on, slower).
    std::function<void(Agent&, const PortProblem&)> bindGaveUp;
    std::function<void(Agent&, const update::UpdateInfo&)> updateAvailable;
    // The relay connection came up (true), or one that was up was lost (false).
    std::function<void(Agent&, bool connected)> relayChanged;
    // POST /api/open-admin asked for the control panel; unset when there is none (headless).
    std::function<void(Agent&)> showPanel;
    // POST /api/send-to-phone asked which files to offer; unset when there is no desktop.
    std::function<void(Agent&)> chooseFilesToSend;
    // Set when the mode runs GTK on the main thread (the desktop shell): GTK work the agent
    // does (drawing icons) then happens there too.
    bool gtkOnMainThread = false;
};

// Everything that runs: the one composition root of the agent, the same in every mode.
//
// Members are declared in the order they are built: each is built from the ones above it. The
// relay replays requests into the router, the server runs the router's handlers on its threads,
// and the HTTPS client runs the planner's completions and the relay's socket, which use the
// Store and the host actions; so `stop` ends the relay first, then the server, then the HTTPS
// client, and only then does anything get destroyed.
class Agent {
  public:
    Agent(Settings settings, MainThread& mainThread, AgentEvents events);
    ~Agent();  // stops first
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Binds the port in the background and starts the update checks: one now, one a day.
    void start();
    // Ends every thread of the agent; handlers still running are waited for, requests in flight
    // to other services are abandoned. Not undone.
    void stop();

    // A fresh one-time pairing link (its code is minted now).
    std::string pairingLink();
    std::uint16_t port() const;
    const Settings& settings() const { return settings_; }
    store::Store& store() { return store_; }
    server::Server& server() { return server_; }
    relay::RelayClient& relay() { return *relay_; }
    // The API as the server and the relay hand requests to it (tests route some in memory).
    const api::Router& router() const { return router_; }
    const api::ApiContext& apiContext() const { return context_; }

  private:
    // Runs `task` on the main thread, unless the agent is gone by then.
    void onMainThread(std::function<void()> task);
    // Runs a task on the main thread after a delay, unless the agent is gone by then.
    std::function<void(std::chrono::milliseconds, std::function<void()>)> laterOnMainThread();
    void checkForUpdate();
    store::Store::Options storeOptions();
    server::ServerOptions serverOptions();
    relay::RelayLinks relayLinks();
    acme::CertificateKeeper::Options certificateOptions();
    // The agent's relay key (made on first use), with the Store's identifier made its own.
    std::optional<relay::RelayIdentity> adoptRelayIdentity();
    // Opens the control panel on the main thread, for the API; empty without a desktop shell.
    std::function<void()> panelOpener();
    host::IconSource::GtkThread gtkThread();
    host::LiveState::Listener liveStateListener();
    bridge::Bridge::Links bridgeLinks();
    // Answers a request the relay carried, through the same router as the server's.
    void replayRelayed(server::ConnectionPtr connection, server::Request request);

    const Settings settings_;
    MainThread& mainThread_;
    const AgentEvents events_;
    // Main-thread tasks hold it weakly: they do nothing once the agent is gone.
    const std::shared_ptr<Agent*> alive_;
    store::Store store_;
    const std::optional<relay::RelayIdentity> relayIdentity_;
    net::HttpsClient https_;
    host::IconSource icons_;
    const host::DesktopInput input_;
    server::Server server_;
    // What tiles show, told to the phones' event streams, and the Shortcuts that feed it.
    tiles::TileBoard tileBoard_;
    tiles::TileSources tileSources_;
    // Tells the phones' event streams what the desktop's players and sound do.
    host::LiveState liveState_;
    // What this computer offers its phones, told to their event streams as it changes.
    transfer::Inbox inbox_;
    // Says what arrived from a phone; a click opens the download folder.
    host::Notifier notifier_;
    // Tells the phones of the clipboard's changes and the applications' notifications.
    bridge::Bridge bridge_;
    api::ApiContext context_;
    api::Router router_;
    // This computer's own certificate for phones whose relay passes their TLS unread.
    relay::StreamCertificate streamCertificate_;
    // Obtains and renews it while the relay passes phones' TLS.
    acme::CertificateKeeper certificateKeeper_;
    const std::shared_ptr<relay::RelayClient> relay_;
};

}  // namespace td::app

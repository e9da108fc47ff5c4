#include "app/agent.hpp"

#include <unistd.h>

#include <algorithm>
#include <future>
#include <thread>

#include "api/handlers.hpp"
#include "common/log.hpp"
#include "host/apps.hpp"
#include "host/host_facts.hpp"
#include "host/shortcuts.hpp"

namespace td::app {
namespace {
constexpr auto UPDATE_CHECK_INTERVAL = std::chrono::hours(24);
}  // namespace

PortProblem describeHeldPort(std::uint16_t port, std::optional<unsigned> holder, unsigned self) {
    const std::string name = "Port " + std::to_string(port);
    const std::string elsewhere =
        " Start Tapdeck with TD_PORT set to another port, or stop that program.";
    if (holder && *holder == self) {
        return {name + " is taken by another program of yours",
                name +
                    " is taken by another program of yours (is Tapdeck running twice?), so "
                    "this one answers no phone." +
                    elsewhere};
    }
    const std::string who = holder ? "another user (uid " + std::to_string(*holder) + ")"
                                   : "a program the system does not name";
    return {name + " is held by " + who,
            name + " is held by " + who +
                ": phones that open this computer's address reach that program instead of "
                "Tapdeck, and would give it their pairing token. Do not pair or use a phone "
                "until Tapdeck has its port." +
                elsewhere};
}

Agent::Agent(Settings settings, MainThread& mainThread, AgentEvents events)
    : settings_(std::move(settings)),
      mainThread_(mainThread),
      events_(std::move(events)),
      alive_(std::make_shared<Agent*>(this)),
      store_(storeOptions()),
      relayIdentity_(adoptRelayIdentity()),
      icons_(settings_.gtkModule, gtkThread()),
      input_(host::chooseInput({settings_.session, settings_.supportFolder})),
      server_(serverOptions()),
      tileBoard_(
          [this](std::string message) {
              server_.broadcast(message, server::StreamAudience::paired);
          },
          laterOnMainThread()),
      tileSources_(
          settings_.supportFolder / "shortcuts",
          [this] { return host::listShortcuts(settings_.supportFolder / "shortcuts"); },
          [this](const std::string& tile, const tiles::TileChange& change) {
              tileBoard_.apply(tile, change);
          }),
      liveState_(liveStateListener()),
      inbox_([this] {
          server_.broadcast(api::handlers::inboxStateMessage(inbox_.listJson()),
                            server::StreamAudience::paired);
      }),
      bridge_(bridgeLinks()),
      context_{.settings = settings_,
               .server = server_,
               .store = store_,
               .https = https_,
               .icons = icons_,
               .keyboard = *input_.keyboard,
               .pointer = *input_.pointer,
               .showPanel = panelOpener(),
               .chooseFilesToSend = events_.chooseFilesToSend ? std::function<void()>([this] {
                   onMainThread([this] { events_.chooseFilesToSend(*this); });
               })
                                                              : std::function<void()>(),
               .switchRelay = [this](bool enabled) { relay_->setEnabled(enabled); },
               .relayConnected = [this] { return relay_->isConnected(); },
               .relayPhoneUrl = [this] { return relay_->phoneUrl(); },
               .relayCertificate = [this] { return certificateKeeper_.status(); },
               .liveState = &liveState_,
               .tiles = &tileBoard_,
               .tileSources = &tileSources_,
               .inbox = &inbox_,
               .notifier = &notifier_,
               .bridge = &bridge_},
      router_(context_),
      streamCertificate_(settings_.supportFolder / "tls"),
      certificateKeeper_(certificateOptions()),
      relay_(relay::RelayClient::create(
          store_.relayId(), settings_.relaySocketUrl(store_.relayId()), relayLinks(),
          relay::RelayClient::REPLAY_DEADLINE, settings_.relayStreamsSocketUrl(store_.relayId()))) {
    server_.setRouter([this](const server::ConnectionPtr& connection, server::Request request) {
        router_.route(connection, std::move(request));
    });
    tileBoard_.reconfigure(store_.snapshotConfig());
    bridge_.reconfigure(store_.snapshotConfig());
}

Agent::~Agent() {
    stop();
}

std::optional<relay::RelayIdentity> Agent::adoptRelayIdentity() {
    auto identity = relay::RelayIdentity::loadOrCreate(settings_.supportFolder / "relay.key");
    if (identity && store_.relayId() != identity->id() && !store_.setRelayId(identity->id())) {
        TD_LOG(relay, "the relay identifier of the key could not be kept in the state");
    }
    return identity;
}

store::Store::Options Agent::storeOptions() {
    store::Store::Options options{settings_.supportFolder.string(), settings_.resourcesFolder};
    options.firstRunApps = [] { return host::defaultApps(); };
    // Saves come only once the agent is built, through its server or its relay.
    options.configChanged = [this](const Json& config) {
        tileBoard_.reconfigure(config);
        tileSources_.reconfigure(config);
        bridge_.reconfigure(config);
    };
    return options;
}

server::ServerOptions Agent::serverOptions() {
    server::ServerOptions options;
    options.port = settings_.port;
    options.publicDir = settings_.resourcesFolder / "public";
    // One thread per core, two at most: a single one cannot keep up with clients that load two
    // cores (measured here against nginx's two workers: one thread 0.83 of nginx under
    // wrk -t2 -c64, two 0.97-1.06, at about the same CPU per request as one).
    options.networkThreads = std::clamp(std::thread::hardware_concurrency(), 1u, 2u);
    // Asked only while the server runs, after the router exists.
    options.bodyLimit = [this](const std::string& method, const std::string& path) {
        return router_.bodyLimit(method, path);
    };
    // Both are called on a network thread; the mode hears of them on the main thread.
    options.onListening = [this](std::uint16_t port) {
        onMainThread([this, port] {
            if (events_.listening) {
                events_.listening(*this, port);
            }
        });
    };
    options.onBindGaveUp = [this] {
        const std::uint16_t port = settings_.port;
        const PortProblem problem =
            describeHeldPort(port, host::portListenerUid(port), static_cast<unsigned>(::getuid()));
        onMainThread([this, problem] {
            if (events_.bindGaveUp) {
                events_.bindGaveUp(*this, problem);
            }
        });
    };
    return options;
}

host::LiveState::Listener Agent::liveStateListener() {
    // Only paired phones and this computer hear what is playing and how loud.
    return {[this](const std::optional<host::PlayerState>& active) {
                server_.broadcast(api::handlers::mediaStateMessage(active),
                                  server::StreamAudience::paired);
                tileBoard_.followPlaying(active && active->status == "Playing");
            },
            [this](const host::VolumeState& volume) {
                server_.broadcast(api::handlers::volumeStateMessage(volume),
                                  server::StreamAudience::paired);
                tileBoard_.followMute(volume.muted);
            }};
}

bridge::Bridge::Links Agent::bridgeLinks() {
    bridge::Bridge::Links links;
    links.session = settings_.session;
    links.desktop = settings_.desktop;
    // Only paired phones and this computer hear that the clipboard changed, and notifications.
    links.tell = [this](std::string message) {
        server_.broadcast(message, server::StreamAudience::paired);
    };
    links.runLater = laterOnMainThread();
    return links;
}

host::IconSource::GtkThread Agent::gtkThread() {
    if (!events_.gtkOnMainThread) {
        return {};
    }
    return [this](std::function<void()> task) { mainThread_.post(std::move(task)); };
}

std::function<void()> Agent::panelOpener() {
    if (!events_.showPanel) {
        return {};
    }
    return [this] { onMainThread([this] { events_.showPanel(*this); }); };
}

relay::RelayLinks Agent::relayLinks() {
    relay::RelayLinks links;
    links.openSocket = [this](const std::string& url, net::WebSocketHandlers handlers) {
        handlers.connectTo = settings_.relayConnect;
        return https_.openWebSocket(url, std::move(handlers));
    };
    links.adoptConnection = [this](int fd, std::string peer) {
        server_.adopt(fd, std::move(peer));
    };
    links.streamTls = [this] { return streamCertificate_.context(); };
    links.streamsOffered = [this](bool streams) {
        certificateKeeper_.keep(streams ? settings_.relayPhoneName(store_.relayId()) : "");
    };
    links.replay = [this](server::ConnectionPtr connection, server::Request request) {
        replayRelayed(std::move(connection), std::move(request));
    };
    links.runLater = laterOnMainThread();
    links.connectionChanged = [this](bool connected) {
        onMainThread([this, connected] {
            if (events_.relayChanged) {
                events_.relayChanged(*this, connected);
            }
        });
    };
    links.prove = [this](std::string_view message) -> std::optional<relay::Proof> {
        if (!relayIdentity_) {
            return std::nullopt;
        }
        return relay::Proof{relayIdentity_->rawPublicKey(), relayIdentity_->sign(message)};
    };
    return links;
}

acme::CertificateKeeper::Options Agent::certificateOptions() {
    acme::CertificateKeeper::Options options;
    options.folder = settings_.supportFolder / "tls";
    options.directoryUrl = settings_.acmeDirectory;
    options.fetch = [this](net::HttpRequest request) {
        auto answer = std::make_shared<std::promise<net::HttpResponse>>();
        auto future = answer->get_future();
        https_.send(std::move(request), [answer](net::HttpResponse response) {
            answer->set_value(std::move(response));
        });
        try {
            return future.get();  // a client that stops drops the request, which breaks it
        } catch (const std::future_error&) {
            return net::HttpResponse{};
        }
    };
    options.answer = [this](const std::string& name, std::optional<acme::ChallengeAnswer> answer) {
        streamCertificate_.setChallenge(name, std::move(answer));
    };
    return options;
}

void Agent::replayRelayed(server::ConnectionPtr connection, server::Request request) {
    // The server refuses such a body from its head; a relayed one is whole already.
    if (request.body.size() > router_.bodyLimit(request.method, request.path)) {
        return connection->json({{"ok", false}}, 413);
    }
    router_.route(connection, std::move(request));
}

void Agent::start() {
    server_.start();
    tileSources_.reconfigure(store_.snapshotConfig());
    relay_->setEnabled(store_.relayEnabled());
    checkForUpdate();
    mainThread_.postEvery(UPDATE_CHECK_INTERVAL, [weak = std::weak_ptr(alive_)] {
        if (auto agent = weak.lock()) {
            (*agent)->checkForUpdate();
        }
    });
}

void Agent::stop() {
    relay_->setEnabled(false);  // no request arrives through it from now on
    liveState_.stop();          // nothing more to tell the streams
    bridge_.stop();
    tileSources_.stop();            // no Shortcut feeds a tile after the agent
    context_.plans->stop();         // a plan between steps ends now, not after its last pause
    input_.keyboard->stopTyping();  // a long text ends now, not minutes later
    server_.stop();
    https_.stop();
}

std::function<void(std::chrono::milliseconds, std::function<void()>)> Agent::laterOnMainThread() {
    return [this](std::chrono::milliseconds delay, std::function<void()> task) {
        mainThread_.postAfter(delay, [weak = std::weak_ptr(alive_), task = std::move(task)] {
            if (weak.lock()) {
                task();
            }
        });
    };
}

void Agent::onMainThread(std::function<void()> task) {
    // The agent is destroyed on the main thread, so the check and the task cannot race it.
    mainThread_.post([weak = std::weak_ptr(alive_), task = std::move(task)] {
        if (weak.lock()) {
            task();
        }
    });
}

void Agent::checkForUpdate() {
    update::checkForUpdate(
        https_, settings_.updateManifest,
        [this](std::function<void()> task) { onMainThread(std::move(task)); },
        [this](std::optional<update::UpdateInfo> info) {
            if (info && events_.updateAvailable) {
                events_.updateAvailable(*this, *info);
            }
        });
}

std::string Agent::pairingLink() {
    return api::handlers::pairingLink(context_);
}

std::uint16_t Agent::port() const {
    return context_.port();
}

}  // namespace td::app

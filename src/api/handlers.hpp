#pragma once

#include <filesystem>
#include <string>

#include "api/router.hpp"
#include "flows/steps.hpp"
#include "host/live_state.hpp"

// Endpoint handlers: each takes the request (already admitted by its access rule) and gives
// back the answer.
namespace td::api::handlers {

using server::Request;
using server::Response;

// A string member of the request's body, or "" when the body has none (any other type too).
std::string bodyString(const Request& request, std::string_view key);

// Pairing
Response pair(const ApiContext& context, const Request& request);
Response pairWithCode(const ApiContext& context, const Request& request);
Response unpair(const ApiContext& context, const Request& request);
Response setPin(const ApiContext& context, const Request& request);
Response connect(const ApiContext& context, const Request& request);
Response airdrop(const ApiContext& context, const Request& request);

// A new one-time pairing link: through the relay's phone page when the relay is on, else to
// this computer's LAN address.
std::string pairingLink(const ApiContext& context);

// Configuration
Response saveConfig(const ApiContext& context, const Request& request);
// The same bytes to every phone while nothing it is made of changed; on the network thread.
void readConfig(const ApiContext& context, const server::ConnectionPtr& connection,
                const Request& request);

// Actions
Response launch(const ApiContext& context, const Request& request);
Response openUrl(const ApiContext& context, const Request& request);
Response shortcut(const ApiContext& context, const Request& request);
Response gesture(const ApiContext& context, const Request& request);
Response media(const ApiContext& context, const Request& request);
Response setVolume(const ApiContext& context, const Request& request);
Response readVolume(const ApiContext& context, const Request& request);
Response system(const ApiContext& context, const Request& request);
Response clipboard(const ApiContext& context, const Request& request);
Response typeText(const ApiContext& context, const Request& request);
// Presses a key combination ("ctrl+shift+t"), by keysym in the session's layout.
Response pressKeys(const ApiContext& context, const Request& request);
// Queues a batch of touchpad events, {"events": [...]}, on the network thread.
void postPointer(const ApiContext& context, const server::ConnectionPtr& connection,
                 const Request& request);
// The touchpad's WebSocket: 101, then a batch of events per message.
void pointerSocket(const ApiContext& context, const server::ConnectionPtr& connection,
                   const Request& request);
Response icon(const ApiContext& context, const Request& request);

// Now playing: every player with the active one, and the active player's artwork bytes.
Response nowPlaying(const ApiContext& context, const Request& request);
Response mediaArt(const ApiContext& context, const Request& request);
// A player as the phone sees it, and the event-stream messages that tell of a change.
Json playerJson(const host::PlayerState& player);
std::string mediaStateMessage(const std::optional<host::PlayerState>& active);
std::string volumeStateMessage(const host::VolumeState& volume);
Response shortcuts(const ApiContext& context, const Request& request);

// Flows and plans
Response runPlan(const ApiContext& context, const Request& request);
// Runs steps one after another, each checked first, as a plan does: each step's effect is let
// settle before what follows (a tile's single step has nothing after it to wait for).
Response runSteps(const ApiContext& context, const std::vector<UntrustedJson>& steps,
                  bool pauseAfterLast = true);
// Answers on the connection when the planner is done.
void plan(const ApiContext& context, const server::ConnectionPtr& connection,
          const Request& request);
Response editFlows(const ApiContext& context, const Request& request);

// Live tiles: their state, a push of one tile's state (POST /api/tiles/ID), and a tap on one
// (POST /api/tiles/ID/run).
Response readTiles(const ApiContext& context, const Request& request);
Response tileRequest(const ApiContext& context, const Request& request);

// Files and links both ways: a phone's share (a form whose body streams to the download
// folder), and what this computer offers its phones.
void share(const ApiContext& context, const server::ConnectionPtr& connection,
           const Request& request);
Response readInbox(const ApiContext& context, const Request& request);
Response offer(const ApiContext& context, const Request& request);
void fetchOffered(const ApiContext& context, const server::ConnectionPtr& connection,
                  const Request& request);
std::string inboxStateMessage(const Json& inbox);
// The desktop asks which files to offer (this computer only).
Response chooseFilesToSend(const ApiContext& context, const Request& request);

// The computer talking back: its clipboard's text, the app in front, and a notification from
// this computer's own scripts (this computer only).
Response readClipboard(const ApiContext& context, const Request& request);
// A phone's turn at the clipboard (its family's, with the tokens it minted), and the 429 when
// its work there is under way, or too many phones' are.
std::unique_ptr<SenderTurns::Turn> clipboardTurn(const ApiContext& context, const Request& request);
Response clipboardBusy();
Response readFocus(const ApiContext& context, const Request& request);
Response notify(const ApiContext& context, const Request& request);

// Admin
Response admin(const ApiContext& context, const Request& request);
Response openAdmin(const ApiContext& context, const Request& request);
// What works on this computer now and, where something does not, why and what to do.
Response capabilities(const ApiContext& context, const Request& request);
// Asks the desktop to let the agent send keys (its dialog, where it has one); answers the keys'
// part of the report.
Response allowKeys(const ApiContext& context, const Request& request);

// Steps checked against this computer and run through its host actions: one kind of step for
// each action kind that may be one.
flows::StepHost stepHost(const ApiContext& context);

// The folder of the user's Shortcuts, and a user's own key combination for a gesture (from
// settings.gestureKeys; "" for none).
std::filesystem::path shortcutsFolder(const ApiContext& context);
std::string gestureKeysOverride(const ApiContext& context, const std::string& id);

}  // namespace td::api::handlers

// What the desktop plays and how loud, as the agent reports it and pushes it to paired phones:
// real players on the private session's bus (python3-dbusmock), the real sound server.
#include <gtest/gtest.h>

#include <fstream>

#include "api/api_fixture.hpp"
#include "host/process.hpp"
#include "support/child_process.hpp"
#include "support/eventually.hpp"
#include "support/loopback_client.hpp"
#include "support/mock_player.hpp"
#include "support/temp_dir.hpp"
#include "support/test_tls.hpp"

namespace td::app {
namespace {

using namespace std::chrono_literals;

// The state messages an event stream carries, one at a time.
class StateStream {
  public:
    // From this computer, or with `from` from another on the network.
    StateStream(std::uint16_t port, const std::string& token, const char* from = "127.0.0.1")
        : client_(test::LoopbackClient::from(from, port)) {
        client_.send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                     (token.empty() ? "" : "X-TD-Token: " + token + "\r\n") + "\r\n");
        EXPECT_TRUE(client_.readUntil(pending_, ": connected"));
        pending_.clear();
    }

    // The next one; nothing when none came within the bound. Every state message is a JSON
    // object, so its end is the only "}" before a blank line.
    std::optional<UntrustedJson> next(std::chrono::milliseconds bound = 10s) {
        if (!client_.readUntil(pending_, "}\n\n", bound)) {
            return std::nullopt;
        }
        const auto end = pending_.find("}\n\n");
        const auto start = pending_.rfind("data: ", end) + 6;
        auto message = UntrustedJson::parse(pending_.substr(start, end + 1 - start));
        pending_.erase(0, end + 3);
        return message;
    }

  private:
    test::LoopbackClient client_;
    std::string pending_;
};

class LiveStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The artwork server's certificate is the test authority's; the agent's client reads
        // the trust store at its first https request.
        ::setenv("SSL_CERT_FILE", pki_.caFile().c_str(), 1);
        port_ = api_.listen();
        ASSERT_NE(port_, 0);
        token_ = api_.pairedToken();
    }

    std::string call(const std::string& method, const std::string& path, std::string body = {},
                     std::string token = {}) {
        token = token.empty() ? token_ : token;
        return test::exchange(port_, method + " " + path + " HTTP/1.1\r\nX-TD-Token: " + token +
                                         "\r\nContent-Length: " + std::to_string(body.size()) +
                                         "\r\n\r\n" + body);
    }
    std::string get(const std::string& path) { return call("GET", path); }
    std::string postMedia(const std::string& body) { return call("POST", "/api/media", body); }
    UntrustedJson nowPlaying() {
        return UntrustedJson::parse(test::bodyOf(get("/api/now-playing")));
    }

    test::TestPki pki_;
    test::ApiFixture api_;
    std::uint16_t port_ = 0;
    std::string token_;
};

std::string titleOf(const std::optional<UntrustedJson>& state) {
    return state && (*state)["media"].is_object() ? (*state)["media"].value("title", "") : "?";
}

// Skips what a player said while it was still being set up (its name, its first properties).
std::optional<UntrustedJson> untilTitle(StateStream& stream, const std::string& title) {
    auto state = stream.next();
    for (; state && titleOf(state) != title; state = stream.next()) {
    }
    return state;
}

TEST_F(LiveStateTest, PlayersAreReportedAndEachChangeReachesPairedStreamsOnce) {
    StateStream paired(port_, token_, "127.0.0.2");
    StateStream local(port_, "");
    StateStream stranger(port_, "", "127.0.0.2");
    const std::string unpaired = api_.pairedToken();
    StateStream revoked(port_, unpaired, "127.0.0.2");
    EXPECT_NE(call("POST", "/api/unpair", "", unpaired).find(R"("ok":true)"), std::string::npos);
    test::MockPlayer first("tdfirst", "First Player");
    ASSERT_TRUE(first.ready());
    first.play("Paused", "Song A", "Ann");
    ASSERT_TRUE(untilTitle(paired, "Song A"));

    test::MockPlayer second("tdsecond", "Second Player");
    ASSERT_TRUE(second.ready());
    second.play("Playing", "Song B", "Bo");
    EXPECT_TRUE(untilTitle(paired, "Song B"));  // the playing one is the active one

    const auto report = nowPlaying();
    EXPECT_EQ(report["active"], second.busName());
    ASSERT_EQ(report["players"].size(), 2u);
    EXPECT_EQ(report["players"][1], UntrustedJson::parse(R"({"id":"org.mpris.MediaPlayer2.tdsecond",
        "name":"Second Player","status":"Playing","title":"Song B","artist":"Bo","album":"Album",
        "length":200.0,"position":5.0,"art":null})"));

    // A player that says the same thing five times is heard once: the next message is the
    // next change.
    for (int i = 0; i < 5; ++i) {
        second.play("Playing", "Song C", "Cy");
    }
    EXPECT_EQ(titleOf(paired.next()), "Song C");
    second.setStatus("Paused");
    const auto paused = paired.next();
    EXPECT_EQ(titleOf(paused), "Song C");
    EXPECT_EQ((*paused)["media"]["status"], "Paused");  // it played last: still the active one

    // Players that go: the other one takes over, and then there is none.
    second.quit();
    EXPECT_EQ(titleOf(paired.next()), "Song A");
    first.quit();
    const auto none = paired.next();
    ASSERT_TRUE(none);
    EXPECT_TRUE((*none)["media"].is_null());
    EXPECT_EQ(nowPlaying()["players"].size(), 0u);

    EXPECT_TRUE(untilTitle(local, "Song A"));  // this computer's own user hears it all
    // A stream opened without a token, or with one revoked since, hears nothing of it.
    EXPECT_FALSE(stranger.next(100ms));
    EXPECT_FALSE(revoked.next(100ms));
}

TEST_F(LiveStateTest, AProgramTakingManyPlayerNamesIsFollowedForAFewAndOthersStillAre) {
    test::ChildProcess squatter({"/usr/bin/python3", "-c",
                                 "import dbus, dbus.service, dbus.mainloop.glib\n"
                                 "from gi.repository import GLib\n"
                                 "dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)\n"
                                 "bus = dbus.SessionBus()\n"
                                 "names = [dbus.service.BusName(f'org.mpris.MediaPlayer2.sq{i}', "
                                 "bus) for i in range(6)]\n"
                                 "print('ready', flush=True)\n"
                                 "GLib.MainLoop().run()\n"});
    ASSERT_TRUE(squatter.waitForLine(std::regex("ready")));
    test::MockPlayer real("tdreal", "Real");
    ASSERT_TRUE(real.ready());
    UntrustedJson players;
    EXPECT_TRUE(test::eventually([&] {
        players = nowPlaying()["players"];
        return std::any_of(players.begin(), players.end(), [](const auto& p) {
            return p["id"] == "org.mpris.MediaPlayer2.tdreal";
        });
    }));
    EXPECT_EQ(players.size(), 5u);  // four of the six, and the real one
}

TEST_F(LiveStateTest, TheVolumeAndTheMuteReachTheStream) {
    StateStream paired(port_, token_);
    auto pactl = [](std::vector<std::string> args) {
        args.insert(args.begin() + 1, "@DEFAULT_SINK@");
        EXPECT_EQ(host::runProcess("pactl", args).status, 0);
    };
    pactl({"set-sink-mute", "0"});
    // Until the agent's subscription is up, a change goes unheard: change it until one is.
    int level = 30;
    std::optional<UntrustedJson> state;
    auto levelOf = [&state] {
        return state && state->contains("volume") ? (*state)["volume"].value("level", -1) : -1;
    };
    EXPECT_TRUE(test::eventually([&] {
        pactl({"set-sink-volume", std::to_string(++level) + "%"});
        for (state = paired.next(1s); state && levelOf() != level; state = paired.next(1s)) {
        }
        return state.has_value();
    }));
    pactl({"set-sink-mute", "1"});
    state = paired.next();
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["volume"]["muted"], true);
    EXPECT_EQ(levelOf(), level);
    pactl({"set-sink-mute", "0"});
}

TEST_F(LiveStateTest, ArtworkIsServedOnlyWhenItIsAPictureAndKeysGoToTheNamedPlayer) {
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(600, 'p');
    auto writeFile = [this](const std::string& name, const std::string& bytes) {
        std::ofstream(api_.dir().path() / name, std::ios::binary) << bytes;
        return "file://" + (api_.dir().path() / name).string();
    };
    test::ScriptedServer https(test::ScriptedServer::Behaviour::reply,
                               test::httpReply(200, png, "image/png"), pki_.certFile(),
                               pki_.keyFile());
    test::ScriptedServer page(test::ScriptedServer::Behaviour::reply,
                              test::httpReply(200, "<html>", "image/png"), pki_.certFile(),
                              pki_.keyFile());
    auto https_url = [](const test::ScriptedServer& server) {
        return "https://localhost:" + std::to_string(server.port()) + "/art.png";
    };
    const std::vector<std::pair<std::string, bool>> arts = {
        {writeFile("cover.png", png), true},
        {writeFile("notes.txt", "plain text"), false},
        {writeFile("huge.png", png + std::string(2 * 1024 * 1024, 'x')), false},
        {https_url(https), true},
        {https_url(page), false},
        {"http://127.0.0.1:" + std::to_string(https.port()) + "/art.png", false},
    };
    test::MockPlayer player("tdart", "Art Player");
    ASSERT_TRUE(player.ready());
    for (const auto& [url, served] : arts) {
        player.play("Playing", url, "Art", url);
        std::string art;
        ASSERT_TRUE(test::eventually([&] {
            const auto report = nowPlaying();
            return report["players"].size() == 1 && report["players"][0]["title"] == url &&
                   (art = report["players"][0]["art"].get<std::string>(), true);
        })) << url;
        const std::string answer = get(art);
        EXPECT_EQ(answer.starts_with("HTTP/1.1 200"), served) << url << "\n"
                                                              << answer.substr(0, 200);
        if (served) {
            EXPECT_EQ(test::bodyOf(answer), png);
            EXPECT_EQ(test::headerValue(answer, "Content-Type"), "image/png");
        }
    }
    EXPECT_EQ(https.requests().size(), 1u);
    // Kept per track: shown again, it is not fetched again.
    player.play("Playing", "again", "Art", https_url(https));
    EXPECT_TRUE(test::eventually([&] { return nowPlaying()["players"][0]["title"] == "again"; }));
    EXPECT_TRUE(get(nowPlaying()["players"][0]["art"]).starts_with("HTTP/1.1 200"));
    EXPECT_EQ(https.requests().size(), 1u);

    EXPECT_NE(postMedia(R"({"action":"next","player":")" + player.busName() + "\"}")
                  .find(R"({"ok":true})"),
              std::string::npos);
    EXPECT_EQ(player.calls("Next"), 1);
    EXPECT_TRUE(postMedia(R"({"action":"next","player":"org.mpris.MediaPlayer2.gone"})")
                    .starts_with("HTTP/1.1 404"));
    EXPECT_TRUE(postMedia(R"({"action":"next","player":7})").starts_with("HTTP/1.1 404"));
    EXPECT_EQ(player.calls("Next"), 1);
}

}  // namespace
}  // namespace td::app

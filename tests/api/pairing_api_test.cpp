#include <gtest/gtest.h>

#include <regex>

#include "api_fixture.hpp"
#include "host/host_facts.hpp"

namespace td::api {
namespace {

using test::ApiFixture;
using test::Headers;

bool isHex(const std::string& text, std::size_t length) {
    return std::regex_match(text, std::regex("[0-9a-f]{" + std::to_string(length) + "}"));
}

TEST(PairingApi, PinPairingWithLockOut) {
    ApiFixture api;
    const std::string wrong = R"({"pin":"nope"})";
    for (std::string body : {std::string(""), std::string(R"({"pin":1234})"), wrong}) {
        const auto answer = api.remote("POST", "/api/pair", body);
        EXPECT_EQ(answer.status, 401) << body;
        EXPECT_EQ(answer.body, (Json{{"ok", false}, {"error", "Wrong PIN"}})) << body;
    }
    const auto good = api.remote("GET", "/api/pair", api.pinBody());
    EXPECT_EQ(good.status, 200);
    EXPECT_TRUE(isHex(good.body["token"], 48)) << good.raw;
    EXPECT_TRUE(api.store().tokenValid(good.body["token"]));

    // Another site's page posting blindly neither pairs nor spends a try; the phone's own page
    // (its Origin is the Host it asked) does.
    for (const Headers& crossSite :
         {Headers{{"origin", "http://evil.example"}, {"host", "192.168.1.5:8788"}},
          Headers{{"origin", "null"}}, Headers{{"sec-fetch-site", "cross-site"}},
          Headers{{"sec-fetch-site", "same-site"}},  // an <img> from another port or host
          // A public name rebound to this computer: the page's origin is the Host it asked.
          Headers{{"origin", "http://evil.example:8788"}, {"host", "evil.example:8788"}}}) {
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(api.remote("POST", "/api/pair", wrong, crossSite).status, 403);
        }
        EXPECT_EQ(api.remote("POST", "/api/pair", api.pinBody(), crossSite).status, 403);
        EXPECT_EQ(api.remote("POST", "/api/pair-code", R"({"code":"x"})", crossSite).status, 403);
    }
    const Headers samePage{{"origin", "http://192.168.1.5:8788"}, {"host", "192.168.1.5:8788"}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(api.remote("POST", "/api/pair", wrong, i == 0 ? samePage : Headers{}).status,
                  401);
    }
    const auto locked = api.remote("POST", "/api/pair", api.pinBody());
    EXPECT_EQ(locked.status, 423);
    EXPECT_TRUE(locked.raw.ends_with(
        "\r\n\r\n{\"ok\":false,\"error\":\"Locked \xE2\x80\x94 too many tries\",\"locked\":true}"));
}

TEST(PairingApi, ConnectGivesALinkWithAOneTimeCode) {
    ApiFixture api;
    const auto first = api.local("POST", "/api/connect");
    const auto second = api.local("POST", "/api/connect");
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(first.body["relay"], false);
    const std::string prefix =
        "http://" + host::lanIP() + ":" + std::to_string(api.port()) + "/?pair=";
    const std::string url = first.body["url"];
    ASSERT_TRUE(url.starts_with(prefix)) << url;
    const std::string code = url.substr(prefix.size());
    EXPECT_TRUE(isHex(code, 16));
    EXPECT_NE(second.body["url"], first.body["url"]);
    EXPECT_TRUE(
        first.body["qr"].get<std::string>().starts_with("data:image/png;base64,iVBORw0KGgo"));

    const std::string body = R"({"code":")" + code + "\"}";
    const auto paired = api.remote("POST", "/api/pair-code", body);
    EXPECT_EQ(paired.status, 200);
    EXPECT_TRUE(isHex(paired.body["token"], 48));
    const auto again = api.remote("POST", "/api/pair-code", body);
    EXPECT_EQ(again.status, 401);
    EXPECT_EQ(again.body, (Json{{"ok", false}, {"error", "Invalid or expired code"}}));
}

TEST(PairingApi, ConnectThroughTheRelayWhenItIsOn) {
    ApiFixture api([](Settings& s) { s.relayHost = "relay.test:8443"; });
    api.store().saveConfig({{"settings", {{"relayEnabled", 1}}}});
    const auto answer = api.local("POST", "/api/connect");
    const std::string url = answer.body["url"];
    EXPECT_TRUE(
        url.starts_with("https://relay.test:8443/phone/" + api.store().relayId() + "/?pair="))
        << url;
    EXPECT_EQ(answer.body["relay"], true);
}

TEST(PairingApi, UnpairRevokesOnlyThePresentedToken) {
    ApiFixture api;
    const std::string kept = api.pairedToken();
    const std::string dropped = api.pairedToken();
    EXPECT_EQ(api.withToken("POST", "/api/unpair", dropped).body, (Json{{"ok", true}}));
    EXPECT_EQ(api.withToken("POST", "/api/unpair", dropped).status, 401);
    EXPECT_TRUE(api.store().tokenValid(kept));
    EXPECT_FALSE(api.store().tokenValid(dropped));
}

TEST(PairingApi, SetPinAndAirdrop) {
    ApiFixture api;
    const auto refused = api.local("POST", "/api/set-pin", R"({"pin":"123"})");
    EXPECT_EQ(refused.status, 200);
    EXPECT_EQ(refused.body, (Json{{"ok", false}}));
    EXPECT_EQ(api.local("POST", "/api/set-pin", R"({"pin":"0000"})").body, (Json{{"ok", true}}));
    EXPECT_EQ(api.store().pinValue(), "0000");
    EXPECT_EQ(api.local("POST", "/api/airdrop").body,
              (Json{{"ok", false}, {"error", "Scan the QR code instead."}}));
}

}  // namespace
}  // namespace td::api

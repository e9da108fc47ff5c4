#include <gtest/gtest.h>

#include "api_harness.hpp"
#include "support/test_tls.hpp"

namespace td::api {
namespace {

using test::ApiHarness;
using test::ScriptedServer;

std::string messagesReply(const std::string& text) {
    return test::httpReply(
        200, dumpCompact({{"id", "msg"}, {"content", {{{"type", "text"}, {"text", text}}}}}));
}

class PlanApi : public ::testing::Test {
  protected:
    void useService(const ScriptedServer& service) {
        ::setenv("ANTHROPIC_BASE_URL",
                 ("http://127.0.0.1:" + std::to_string(service.port()) + "/").c_str(), 1);
    }
    ApiHarness api;
    std::string token = api.pairedToken();
};

TEST_F(PlanApi, WithoutAKeyNothingIsSent) {
    ScriptedServer service(ScriptedServer::Behaviour::reply, messagesReply("{}"));
    useService(service);
    ::setenv("ANTHROPIC_API_KEY", "", 1);
    const auto answer = api.callWithToken("POST", "/api/plan", token, R"({"intent":"x"})");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, (Json{{"ok", false}, {"error", "no_key"}}));
    EXPECT_TRUE(service.requests().empty());
    EXPECT_EQ(api.call("POST", "/api/plan", R"({"intent":"x"})").status, 401);
}

TEST_F(PlanApi, AsksTheServiceAndReturnsOnlyAllowedSteps) {
    ScriptedServer service(
        ScriptedServer::Behaviour::reply,
        messagesReply(
            "Here you go:\n{\"steps\":[{\"type\":\"url\",\"value\":\"https://news.example\","
            "\"label\":\"News\"},{\"type\":\"app\",\"value\":\"Terminal\"}]}\nEnjoy."));
    useService(service);
    ::setenv("ANTHROPIC_API_KEY", "sk-secret-key", 1);
    const auto answer = api.callWithToken("POST", "/api/plan", token, R"({"intent":"read news"})");
    EXPECT_EQ(answer.body,
              (Json{{"ok", true},
                    {"steps",
                     {{{"type", "url"}, {"value", "https://news.example"}, {"label", "News"}}}}}));
    EXPECT_EQ(answer.raw.find("sk-secret-key"), std::string::npos);

    ASSERT_EQ(service.requests().size(), 1u);
    const std::string sent = service.requests()[0];
    EXPECT_TRUE(sent.starts_with("POST /v1/messages HTTP/1.1\r\n")) << sent;
    EXPECT_NE(sent.find("\r\nx-api-key: sk-secret-key\r\n"), std::string::npos);
    EXPECT_NE(sent.find("\r\nanthropic-version: 2023-06-01\r\n"), std::string::npos);
    const Json body = Json::parse(sent.substr(sent.find("\r\n\r\n") + 4));
    EXPECT_EQ(body["model"], "claude-opus-4-8");
    EXPECT_EQ(body["messages"][0]["content"], "read news");
    EXPECT_NE(body["system"].get<std::string>().find("Valid gestures: "), std::string::npos);
}

TEST_F(PlanApi, ServiceFailuresBecomePlanFailed) {
    ::setenv("ANTHROPIC_API_KEY", "sk-test", 1);
    ScriptedServer refusing(
        ScriptedServer::Behaviour::reply,
        test::httpReply(401, R"({"type":"error","error":{"type":"authentication_error"}})"));
    useService(refusing);
    EXPECT_EQ(api.callWithToken("POST", "/api/plan", token, "{}").body,
              (Json{{"ok", false}, {"error", "plan_failed"}}));
    ScriptedServer dropping(ScriptedServer::Behaviour::drop);
    useService(dropping);
    EXPECT_EQ(api.callWithToken("POST", "/api/plan", token, "{}").body,
              (Json{{"ok", false}, {"error", "plan_failed"}}));
    ScriptedServer rambling(ScriptedServer::Behaviour::reply,
                            messagesReply("I cannot help with that."));
    useService(rambling);
    EXPECT_EQ(api.callWithToken("POST", "/api/plan", token, "{}").body,
              (Json{{"ok", false}, {"error", "parse_failed"}}));
}

}  // namespace
}  // namespace td::api

#include <gtest/gtest.h>

#include "api_fixture.hpp"
#include "support/test_tls.hpp"

namespace td::api {
namespace {

using test::ApiFixture;
using test::ScriptedServer;

std::string messagesReply(const std::string& text) {
    return test::httpReply(
        200, dumpCompact({{"id", "msg"}, {"content", {{{"type", "text"}, {"text", text}}}}}));
}

// The Messages API stands in as a scripted server on loopback, named as a user would.
struct PlanApi {
    explicit PlanApi(const ScriptedServer& service)
        : api([&service](Settings& s) {
              s.planner = {"http://127.0.0.1:" + std::to_string(service.port()), true};
          }) {}
    test::Answer plan(const std::string& body) {
        return api.withToken("POST", "/api/plan", token, body);
    }
    ApiFixture api;
    std::string token = api.pairedToken();
};

TEST(PlanApi, WithoutAKeyNothingIsSent) {
    ScriptedServer service(ScriptedServer::Behaviour::reply, messagesReply("{}"));
    PlanApi p(service);
    const auto answer = p.plan(R"({"intent":"x"})");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, (Json{{"ok", false}, {"error", "no_key"}}));
    EXPECT_TRUE(service.requests().empty());
}

TEST(PlanApi, AsksTheServiceAndReturnsOnlyAllowedSteps) {
    ScriptedServer service(
        ScriptedServer::Behaviour::reply,
        messagesReply(
            "Here you go:\n{\"steps\":[{\"type\":\"url\",\"value\":\"https://news.example\","
            "\"label\":\"News\"},{\"type\":\"app\",\"value\":\"Terminal\"}]}\nEnjoy."));
    PlanApi p(service);
    p.api.apiKey = "sk-secret-key";
    const auto answer = p.plan(R"({"intent":"read news"})");
    EXPECT_EQ(answer.body,
              (Json{{"ok", true},
                    {"steps",
                     {{{"type", "url"}, {"value", "https://news.example"}, {"label", "News"}}}}}));
    EXPECT_EQ(answer.raw.find("sk-secret-key"), std::string::npos);

    ASSERT_EQ(service.requests().size(), 1u);
    const std::string sent = service.requests()[0];
    EXPECT_TRUE(sent.starts_with("POST /v1/messages HTTP/1.1\r\n")) << sent;
    EXPECT_NE(sent.find("\r\nx-api-key: sk-secret-key\r\n"), std::string::npos);
    const Json body = Json::parse(sent.substr(sent.find("\r\n\r\n") + 4));
    EXPECT_EQ(body["messages"][0]["content"], "read news");
}

TEST(PlanApi, ServiceFailuresBecomePlanFailed) {
    struct Case {
        ScriptedServer::Behaviour behaviour;
        std::string reply, error;
    };
    for (const auto& c : std::vector<Case>{
             {ScriptedServer::Behaviour::reply,
              test::httpReply(401, R"({"type":"error","error":{"type":"authentication_error"}})"),
              "plan_failed"},
             {ScriptedServer::Behaviour::drop, "", "plan_failed"},
             {ScriptedServer::Behaviour::reply, messagesReply("I cannot help with that."),
              "parse_failed"},
         }) {
        ScriptedServer service(c.behaviour, c.reply);
        PlanApi p(service);
        p.api.apiKey = "sk-test";
        EXPECT_EQ(p.plan("{}").body, (Json{{"ok", false}, {"error", c.error}})) << c.reply;
    }
}

}  // namespace
}  // namespace td::api

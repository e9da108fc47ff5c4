#include "server/response.hpp"

#include <gtest/gtest.h>

namespace td::server {
namespace {

TEST(BodyJSON, AnythingButAnObjectIsEmpty) {
    for (std::string body : {"", "{", "[1,2]", "42", "\"text\"", "null", "true", "{\"a\":\xFF}"}) {
        Request request;
        request.body = body;
        EXPECT_EQ(bodyJSON(request), Json::object()) << body;
    }
    Request object;
    object.body = R"({"pin":"1234","n":1})";
    EXPECT_EQ(bodyJSON(object)["pin"], "1234");
}

TEST(JsonWriter, InvalidUtf8InAStringDoesNotLoseTheAnswer) {
    const Response r = jsonResponse({{"ok", true}, {"name", std::string("caf\xE9")}});
    EXPECT_EQ(r.body, "{\"ok\":true,\"name\":\"caf\xEF\xBF\xBD\"}");
    EXPECT_EQ(jsonResponse(Json::object()).body, "{}");
}

TEST(LoopbackTest, OnlyTheThreeLoopbackTextsCount) {
    for (std::string local : {"127.0.0.1", "::1", "::1%lo", "::ffff:127.0.0.1", "%::1"}) {
        EXPECT_TRUE(isLocalAddress(local)) << local;
    }
    for (std::string remote : {"127.0.0.2", "192.168.1.20", "::ffff:127.0.0.2", "fe80::1%lo", "",
                               "%", "::2", "0.0.0.0"}) {
        EXPECT_FALSE(isLocalAddress(remote)) << remote;
    }
}

TEST(EventChunks, FramedByByteCountInLowerCaseHex) {
    EXPECT_EQ(sseChunk(SSE_GREETING), "d\r\n: connected\n\n\r\n");
    EXPECT_EQ(sseChunk(SSE_RELOAD), "17\r\nevent: reload\ndata: 1\n\n\r\n");
    EXPECT_EQ(sseChunk("data: \xC3\xA9\n\n"), "a\r\ndata: \xC3\xA9\n\n\r\n");  // 10 bytes, 9 chars
    EXPECT_EQ(sseChunk(std::string(255, 'x')).substr(0, 4), "ff\r\n");
}

}  // namespace
}  // namespace td::server

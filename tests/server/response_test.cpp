#include "server/response.hpp"

#include <gtest/gtest.h>

namespace td::server {
namespace {

TEST(JsonBodies, ReadAsAnObjectOrNothingAndWrittenDespiteInvalidUtf8) {
    Request request;
    for (std::string body : {"", "{", "[1,2]", "42", "\"text\"", "null", "true", "{\"a\":\xFF}"}) {
        request.body = body;
        EXPECT_EQ(bodyJSON(request), Json::object()) << body;
    }
    request.body = R"({"pin":"1234"})";
    EXPECT_EQ(bodyJSON(request), (Json{{"pin", "1234"}}));
    const Response r = jsonResponse({{"ok", true}, {"name", std::string("caf\xE9")}});
    EXPECT_EQ(r.body, "{\"ok\":true,\"name\":\"caf\xEF\xBF\xBD\"}");
}

TEST(LoopbackAddress, OnlyTheThreeLoopbackTextsCount) {
    for (std::string loopback : {"127.0.0.1", "::1", "::1%lo", "::ffff:127.0.0.1", "%::1"}) {
        EXPECT_TRUE(isLoopbackAddress(loopback)) << loopback;
    }
    for (std::string other : {"127.0.0.2", "192.168.1.20", "::ffff:127.0.0.2", "fe80::1%lo", "",
                              "%", "::2", "0.0.0.0"}) {
        EXPECT_FALSE(isLoopbackAddress(other)) << other;
    }
}

TEST(EventChunks, FramedByByteCountInLowerCaseHex) {
    EXPECT_EQ(sseChunk(SSE_GREETING), "d\r\n: connected\n\n\r\n");
    EXPECT_EQ(sseChunk(SSE_RELOAD), "17\r\nevent: reload\ndata: 1\n\n\r\n");
    EXPECT_EQ(sseChunk("data: \xC3\xA9\n\n"), "a\r\ndata: \xC3\xA9\n\n\r\n");  // 10 bytes, 9 chars
}

}  // namespace
}  // namespace td::server

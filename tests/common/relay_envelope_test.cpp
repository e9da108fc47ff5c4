#include "common/relay_envelope.hpp"

#include <gtest/gtest.h>

#include "common/base64.hpp"

namespace td::relay {
namespace {

// One row per message the relay might send: dropped (no reply at all), or what is replayed.
TEST(RequestEnvelopes, AreReadOrDroppedWhole) {
    struct Row {
        std::string text;
        bool read;
        std::size_t headers = 0;
        std::string body = {};
    };
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    std::string wide = R"({"reqId":"1","method":"GET","path":"/","headers":{"h0":"")";
    for (int i = 1; i < 100'000; ++i) {
        wide += ",\"h" + std::to_string(i) + "\":\"\"";
    }
    wide += "}}";
    const std::vector<Row> rows = {
        {R"({"reqId":"1","method":"GET","path":"/api/config"})", true},
        {R"({"reqId":"1","method":"get","path":"/x?a=1","extra":[1]})", true},
        {R"({"reqId":1,"method":"GET","path":"/api/config"})", false},  // numeric id
        {R"({"method":"GET","path":"/"})", false},
        {R"({"reqId":"1","path":"/"})", false},
        {R"({"reqId":"1","method":"GET"})", false},
        {R"({"reqId":"1","method":"GET","path":null})", false},
        {R"(["reqId","1"])", false},
        {R"("text")", false},
        {"not json", false},
        {"", false},
        {R"({"reqId":"1","method":"GET","path":"/","x":)" + deep + "}", false},
        {wide, false},  // 1.3 MiB: as quick to drop as any other (it used to take 10 s)
        {R"({"reqId":"1","method":"GET","path":"/","headers":{"A":"1","b":"2"}})", true, 2},
        // One value that is not a string: no header at all is kept.
        {R"({"reqId":"1","method":"GET","path":"/","headers":{"A":"1","B":2}})", true, 0},
        {R"({"reqId":"1","method":"GET","path":"/","headers":"A: 1"})", true, 0},
        {R"({"reqId":"1","method":"POST","path":"/","body":"{\"pin\":\"1\"}"})", true, 0,
         R"({"pin":"1"})"},
        {R"({"reqId":"1","method":"POST","path":"/","body":{"pin":"1"}})", true, 0, ""},
        {R"({"reqId":"1","method":"POST","path":"/","body":7})", true, 0, ""},
    };
    const auto start = std::chrono::steady_clock::now();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 100));
        const auto envelope = readRequestEnvelope(row.text);
        ASSERT_EQ(envelope.has_value(), row.read);
        if (envelope) {
            EXPECT_EQ(envelope->reqId, "1");
            EXPECT_EQ(envelope->headers.size(), row.headers);
            EXPECT_EQ(envelope->body, row.body);
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ReplyEnvelopes, CarryAnyBodyAndRefuseWhatCannotBeAnswered) {
    std::string png = "\x89PNG\r\n\x1a\n";
    png += std::string("\0\xff\xfe", 3);
    for (const std::string& body : {std::string("{\"ok\":true}"), png, std::string()}) {
        const std::string text = writeReplyEnvelope({"7", 200, "image/png", body});
        const auto reply = readReplyEnvelope(text);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->reqId, "7");
        EXPECT_EQ(reply->contentType, "image/png");
        EXPECT_EQ(reply->body, body);
        // A relay that knows only the four members still reads the text as UTF-8 JSON.
        EXPECT_EQ(text.find("bodyBase64") != std::string::npos, body == png) << text;
    }
    EXPECT_EQ(writeReplyEnvelope({"1", 404, "", ""}),
              R"({"reqId":"1","status":404,"headers":{},"body":""})");

    for (const char* malformed : {
             R"({"reqId":"1","status":"200","headers":{},"body":""})",
             R"({"reqId":"1","status":200.5,"headers":{},"body":""})",
             R"({"reqId":"1","status":99,"headers":{},"body":""})",
             R"({"reqId":"1","status":600,"headers":{},"body":""})",
             R"({"reqId":1,"status":200,"headers":{},"body":""})",
             R"({"reqId":"1","status":200,"bodyBase64":"not base64!"})",
             // A line break in a header value would let the agent write header fields.
             R"({"reqId":"1","status":200,"headers":{"content-type":"a\r\nSet-Cookie: x"}})",
         }) {
        EXPECT_FALSE(readReplyEnvelope(malformed)) << malformed;
    }
}

TEST(Base64, RoundTripsEveryLengthAndRefusesNonCanonicalText) {
    std::string bytes;
    for (int n = 0; n < 64; ++n) {
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
        bytes += static_cast<char>(n * 37);
    }
    EXPECT_EQ(base64Encode("hello"), "aGVsbG8=");
    for (const char* bad : {"aGVsbG8", "aGVs bG8=", "a===", "aG=v", "aGVsbG8=\n"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
}

}  // namespace
}  // namespace td::relay

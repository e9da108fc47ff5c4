#include "server/request.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf8.hpp"

namespace td::server {
namespace {

using Status = RequestReader::Status;

// Feeds the bytes in pieces of `step` and returns the request once whole.
std::optional<Request> readInPieces(std::string_view bytes, std::size_t step) {
    RequestReader reader;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        const Status status = reader.feed(bytes.substr(at, step));
        if (status == Status::complete) {
            return reader.take();
        }
        if (status != Status::needMore) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

Request readWhole(std::string_view bytes) {
    auto request = readInPieces(bytes, bytes.size());
    EXPECT_TRUE(request.has_value()) << bytes;
    return request.value_or(Request{});
}

TEST(PortFromEnvironment, AcceptsOnlyPlainDecimalsUpTo65535) {
    const std::vector<std::pair<std::string, std::optional<std::uint16_t>>> cases = {
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"70000", std::nullopt},
        {"-5", std::nullopt},
        {" 9000", std::nullopt},
        {"9000 ", std::nullopt},
        {"0x10", std::nullopt},
        {"+", std::nullopt},
        {"9000", 9000},
        {"+9000", 9000},
        {"65535", 65535},
        {"0", 0},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parsePort(text), expected) << "TD_PORT=\"" << text << "\"";
    }
}

TEST(RequestReader, SplitsAnywhereGiveTheSameRequest) {
    const std::string raw =
        "POST /api/pair?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-TD-Token:  abc \r\n"
        "Content-Length: 11\r\n\r\n{\"pin\":\"1\"}";
    const Request whole = readWhole(raw);
    for (std::size_t step : {1u, 2u, 3u, 7u}) {
        auto pieces = readInPieces(raw, step);
        ASSERT_TRUE(pieces) << "step " << step;
        EXPECT_EQ(pieces->method, whole.method);
        EXPECT_EQ(pieces->path, whole.path);
        EXPECT_EQ(pieces->query, whole.query);
        EXPECT_EQ(pieces->headers, whole.headers);
        EXPECT_EQ(pieces->body, whole.body);
    }
    EXPECT_EQ(whole.body, "{\"pin\":\"1\"}");
    EXPECT_EQ(whole.header("x-td-token"), "abc");
}

TEST(RequestReader, HeaderEndSplitInsideCrLfCrLf) {
    RequestReader reader;
    EXPECT_EQ(reader.feed("GET /x HTTP/1.1\r\nA: 1\r"), Status::needMore);
    EXPECT_EQ(reader.feed("\n\r"), Status::needMore);
    EXPECT_EQ(reader.feed("\n"), Status::complete);
    EXPECT_EQ(reader.take().path, "/x");
}

TEST(RequestReader, BodyIsExactlyTheDeclaredLength) {
    RequestReader shortBody;
    EXPECT_EQ(shortBody.feed("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc"), Status::needMore);
    EXPECT_EQ(shortBody.feed("de"), Status::complete);
    EXPECT_EQ(shortBody.take().body, "abcde");

    EXPECT_EQ(readWhole("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcdefgh").body, "abcde");
    EXPECT_EQ(readWhole("POST / HTTP/1.1\r\n\r\nbytes without a length").body, "");
    // The last content-length line wins.
    EXPECT_EQ(
        readWhole("POST / HTTP/1.1\r\nContent-Length: 9\r\ncontent-length: 2\r\n\r\nabc").body,
        "ab");
}

TEST(RequestReader, ContentLengthValues) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"5", 5},  {"+5", 5},  {"-5", -5}, {"", 0},  {"abc", 0},
        {"5a", 0}, {"0x5", 0}, {"- 5", 0}, {"+", 0}, {"99999999999999999999999", 0},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseContentLength(text), expected) << '"' << text << '"';
    }
}

TEST(RequestReader, RefusesWhatItWillNotBuffer) {
    RequestReader negative;
    EXPECT_EQ(negative.feed("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"),
              Status::negativeLength);

    RequestReader hugeBody;
    EXPECT_EQ(hugeBody.feed("POST / HTTP/1.1\r\nContent-Length: 8388609\r\n\r\n"),
              Status::bodyTooLarge);
    RequestReader largestBody;
    EXPECT_EQ(largestBody.feed("POST / HTTP/1.1\r\nContent-Length: 8388608\r\n\r\n"),
              Status::needMore);

    RequestReader endlessHead;
    const std::string filler(RequestReader::MAX_HEADER_BYTES, 'a');
    EXPECT_EQ(endlessHead.feed("GET / HTTP/1.1\r\nX: " + filler), Status::headerTooLarge);

    RequestReader longHead;
    EXPECT_EQ(longHead.feed("GET / HTTP/1.1\r\nX: " + filler + "\r\n\r\n"), Status::headerTooLarge);
}

TEST(RequestParsing, RequestLine) {
    struct Case {
        std::string line;
        std::string method;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"GET", "GET", "/"},
        {"", "GET", "/"},
        {"   POST    /a   HTTP/1.1  ", "POST", "/a"},
        {"get /lower HTTP/1.1", "get", "/lower"},
        {"GET /a b HTTP/1.1", "GET", "/a"},
        {"DELETE http://example.com/p?q=1 HTTP/1.1", "DELETE", "/p"},
    };
    for (const auto& c : cases) {
        const Request r = readWhole(c.line + "\r\n\r\n");
        EXPECT_EQ(r.method, c.method) << c.line;
        EXPECT_EQ(r.path, c.path) << c.line;
    }
}

TEST(RequestParsing, TargetsAreDecodedAndOddOnesKeptAsSent) {
    const Request mixed = readWhole("GET /a%20b?x=1%2B2&y&z=&x=3 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(mixed.path, "/a b");
    EXPECT_EQ(mixed.query, (std::map<std::string, std::string>{{"x", "3"}, {"z", ""}}));

    const Request plus = readWhole("GET /icon?app=Visual+Studio%20Code HTTP/1.1\r\n\r\n");
    EXPECT_EQ(plus.query.at("app"), "Visual+Studio Code");

    for (std::string odd : {"/a%zz", "/a<b>", "/{x}", "/q?a=%"}) {
        const Request r = readWhole("GET " + odd + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(r.path, odd);
        EXPECT_TRUE(r.query.empty()) << odd;
    }
    // The fragment is not part of the query, also right after an empty one.
    EXPECT_TRUE(readWhole("GET /a?#=1%2B1 HTTP/1.1\r\n\r\n").query.empty());
    EXPECT_EQ(readWhole("GET /a?x=1#y=2 HTTP/1.1\r\n\r\n").query,
              (std::map<std::string, std::string>{{"x", "1"}}));

    const Request encodedDots = readWhole("GET /%2e%2e/secret HTTP/1.1\r\n\r\n");
    EXPECT_EQ(encodedDots.path, "/../secret");
}

TEST(RequestParsing, HeaderFields) {
    const Request r = readWhole(
        "GET / HTTP/1.1\r\n"
        "  X-TD-Token \t:\t abc  \r\n"
        "no colon here\r\n"
        "X-Dup: first\r\n"
        "x-dup: second\r\n"
        "X-Nbsp:\xC2\xA0value\xE3\x80\x80\r\n"
        "X-Lone: 1\nY: 2\r\n"
        "X-Empty:\r\n\r\n");
    EXPECT_EQ(r.header("x-td-token"), "abc");
    EXPECT_EQ(r.header("x-dup"), "second");
    EXPECT_EQ(r.header("x-nbsp"), "value");
    EXPECT_EQ(r.header("x-lone"), "1\nY: 2");  // a lone LF does not end a line
    EXPECT_EQ(r.header("x-empty"), "");
    EXPECT_EQ(r.headers.size(), 5u);
}

TEST(RequestParsing, HeaderBlockThatIsNotUtf8IsTreatedAsEmpty) {
    const Request r =
        readWhole("POST /api/pair HTTP/1.1\r\nX-Bad: \xFF\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/");
    EXPECT_TRUE(r.headers.empty());
    EXPECT_EQ(r.body, "");
}

TEST(Utf8, ValidationMatchesTheStandard) {
    EXPECT_TRUE(isValidUtf8("plain ascii"));
    EXPECT_TRUE(isValidUtf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));  // é € 😀
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));                             // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));                         // surrogate
    EXPECT_FALSE(isValidUtf8("\xE2\x82"));                             // truncated
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));                     // above U+10FFFF
}

}  // namespace
}  // namespace td::server

#include "server/request.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "common/utf8.hpp"

namespace td::server {
namespace {

using Status = RequestReader::Status;

// Feeds the bytes in pieces of `step` and returns the request once whole.
std::optional<Request> readInPieces(std::string_view bytes, std::size_t step) {
    RequestReader reader;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        if (const Status status = reader.feed(bytes.substr(at, step)); status != Status::needMore) {
            return status == Status::complete ? std::optional(reader.take()) : std::nullopt;
        }
    }
    return std::nullopt;
}

TEST(Numbers, PortsArePlainDecimalsUpTo65535AndLengthsSignedDecimals) {
    const std::optional<std::uint16_t> no;
    const std::string huge(20, '9');  // beyond 64 bits
    const std::vector<std::tuple<std::string, std::optional<std::uint16_t>, std::int64_t>> cases = {
        {"9000", 9000, 9000}, {"+9000", 9000, 9000}, {"0", 0, 0},   {"65535", 65535, 65535},
        {"65536", no, 65536}, {"-5", no, -5},        {"", no, 0},   {"abc", no, 0},
        {" 9000", no, 0},     {"9000 ", no, 0},      {"5a", no, 0}, {"0x10", no, 0},
        {"+", no, 0},         {"- 5", no, 0},        {huge, no, 0},
    };
    for (const auto& [text, port, length] : cases) {
        EXPECT_EQ(parsePort(text), port) << '"' << text << '"';
        EXPECT_EQ(parseContentLength(text), length) << '"' << text << '"';
    }
}

TEST(RequestReader, SplitsAnywhereGiveTheSameRequestAndHeaderFieldsAreTrimmed) {
    // A lone LF does not end a line.
    const std::string raw =
        "POST /api/pair?x=1 HTTP/1.1\r\n  X-TD-Token \t:\t abc  \r\nno colon here\r\n"
        "X-Dup: first\r\nx-dup: second\r\nX-Nbsp:\xC2\xA0value\xE3\x80\x80\r\nX-Empty:\r\n"
        "X-Lone: 1\nY: 2\r\nContent-Length: 11\r\n\r\n{\"pin\":\"1\"}";
    const std::map<std::string, std::string> headers = {
        {"x-td-token", "abc"}, {"x-dup", "second"},   {"x-nbsp", "value"},
        {"x-empty", ""},       {"x-lone", "1\nY: 2"}, {"content-length", "11"},
    };
    for (std::size_t step : std::vector<std::size_t>{raw.size(), 1, 2, 3, 7}) {
        SCOPED_TRACE(step);
        const Request r = readInPieces(raw, step).value();
        EXPECT_EQ(std::tie(r.method, r.path, r.body),
                  std::make_tuple("POST", "/api/pair", R"({"pin":"1"})"));
        EXPECT_EQ(r.query, (std::map<std::string, std::string>{{"x", "1"}}));
        EXPECT_EQ(r.headers, headers);
        EXPECT_EQ(r.header("x-td-token"), "abc");
        EXPECT_EQ(r.header("x-none"), std::nullopt);
    }
}

TEST(RequestReader, TakesExactlyTheDeclaredBodyAndRefusesWhatItWillNotBuffer) {
    const std::string filler(RequestReader::MAX_HEADER_BYTES, 'a');
    const std::vector<std::tuple<std::string, Status, std::string>> cases = {
        {"Content-Length: 5\r\n\r\nabcdefgh", Status::complete, "abcde"},
        {"\r\nbytes without a length", Status::complete, ""},
        // The last content-length line wins.
        {"Content-Length: 9\r\ncontent-length: 2\r\n\r\nabc", Status::complete, "ab"},
        {"Content-Length: -1\r\n\r\n", Status::negativeLength, ""},
        {"Content-Length: 8388609\r\n\r\n", Status::bodyTooLarge, ""},
        {"Content-Length: 8388608\r\n\r\n", Status::needMore, ""},
        {"X: " + filler, Status::headerTooLarge, ""},
        {"X: " + filler + "\r\n\r\n", Status::headerTooLarge, ""},
    };
    for (const auto& [head, status, body] : cases) {
        RequestReader reader;
        EXPECT_EQ(reader.feed("POST / HTTP/1.1\r\n" + head), status) << head.substr(0, 40);
        if (status == Status::complete) {
            EXPECT_EQ(reader.take().body, body) << head;
        }
    }
}

TEST(RequestParsing, RequestLineAndTarget) {
    using Query = std::map<std::string, std::string>;
    const std::vector<std::tuple<std::string, std::string, std::string, Query>> cases = {
        {"GET", "GET", "/", {}},
        {"", "GET", "/", {}},
        {"   POST    /a   HTTP/1.1  ", "POST", "/a", {}},
        {"get /lower HTTP/1.1", "get", "/lower", {}},
        {"GET /a b HTTP/1.1", "GET", "/a", {}},
        {"POST /api/pair HTTP/1.1\r\nX-Bad: \xFF", "GET", "/", {}},  // not UTF-8: an empty head
        {"GET /a%20b?x=1%2B2&y&z=&x=3", "GET", "/a b", {{"x", "3"}, {"z", ""}}},
        {"GET /icon?app=Visual+Studio%20Code", "GET", "/icon", {{"app", "Visual+Studio Code"}}},
        {"GET /%2e%2e/secret", "GET", "/../secret", {}},
        // Targets that are not URI references are kept as sent.
        {"GET /a%zz", "GET", "/a%zz", {}},
        {"GET /a<b>", "GET", "/a<b>", {}},
        {"GET /{x}", "GET", "/{x}", {}},
        {"GET /q?a=%", "GET", "/q?a=%", {}},
        // The fragment is not part of the query, also right after an empty one.
        {"GET /a?#=1%2B1", "GET", "/a", {}},
        {"GET /a?x=1#y=2", "GET", "/a", {{"x", "1"}}},
    };
    for (const auto& [line, method, path, query] : cases) {
        const std::string raw = line + "\r\n\r\n";
        const Request r = readInPieces(raw, raw.size()).value();
        EXPECT_EQ(std::tie(r.method, r.path, r.query), std::tie(method, path, query)) << line;
    }
    // Only paths: any other form of target would be joined to a folder as it stands.
    for (const char* line : {"GET -secret.txt", "DELETE http://example.com/p", "OPTIONS *"}) {
        RequestReader reader;
        EXPECT_EQ(reader.feed(std::string(line) + " HTTP/1.1\r\n\r\n"), Status::malformed) << line;
    }
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

#include "update/update_check.hpp"

#include <gtest/gtest.h>

namespace td::update {
namespace {

TEST(VersionIsNewer, NumericPieceByPiece) {
    const std::string huge(20, '9');  // beyond 64 bits: 0
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"1.10", "1.9", true}, {"1.9", "1.10", false},    {"1.0", "1", false},
        {"1", "1.0.0", false}, {"1.0.1", "1", true},      {"2.0-beta", "2.0", false},
        {"v2", "1", false},    {"", "0", false},          {"0.0.1", "", true},
        {"1..2", "1.1", true}, {".1.", "0.1", true},      {"+2", "1", true},
        {"-1", "0", false},    {"0", "-1", true},         {"1. 2", "1.1", false},
        {huge, "1", false},    {"0.1.0", "0.1.0", false},
    };
    for (const auto& [candidate, reference, newer] : cases) {
        EXPECT_EQ(versionIsNewer(candidate, reference), newer)
            << '"' << candidate << "\" vs \"" << reference << '"';
    }
}

TEST(Manifest, OnlyANewerVersionAtAnHttpsAddress) {
    const auto update = interpretManifest(
        R"({"version":"1.4.0","url":"https://tapdeck.app/download","notes":"Faster."})", "1.3.9");
    ASSERT_TRUE(update);
    EXPECT_EQ(std::tie(update->version, update->url, update->notes),
              std::make_tuple("1.4.0", "https://tapdeck.app/download", "Faster."));
    EXPECT_EQ(interpretManifest(R"({"version":"2","url":"https://a.b/","notes":7})", "1")->notes,
              "");
    for (std::string body :
         {R"({"version":"1.3.9","url":"https://a.b/"})",  // equal
          R"({"version":"1.0","url":"https://a.b/"})",    // older
          R"({"version":"9","url":"http://a.b/"})",       // not https
          R"({"version":"9","url":"HTTPS://a.b/"})",      // scheme case
          R"({"version":"9","url":"not a url"})", R"({"version":9,"url":"https://a.b/"})",
          R"({"url":"https://a.b/"})", R"({"version":"9"})", "[]", "<html>", ""}) {
        EXPECT_FALSE(interpretManifest(body, "1.3.9")) << body;
    }
}

}  // namespace
}  // namespace td::update

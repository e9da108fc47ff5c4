#include "update/update_check.hpp"

#include <gtest/gtest.h>

#include "update/version.hpp"

namespace td::update {
namespace {

TEST(VersionIsNewer, NumericPieceByPiece) {
    struct Case {
        std::string candidate, reference;
        bool newer;
    };
    const std::vector<Case> cases = {
        {"1.10", "1.9", true},     {"1.9", "1.10", false}, {"1.0", "1", false},
        {"1", "1.0.0", false},     {"1.0.1", "1", true},   {"2.0-beta", "2.0", false},
        {"v2", "1", false},        {"", "0", false},       {"0.0.1", "", true},
        {"1..2", "1.1", true},     {".1.", "0.1", true},   {"+2", "1", true},
        {"-1", "0", false},        {"1. 2", "1.1", false}, {"99999999999999999999", "1", false},
        {"0.1.0", "0.1.0", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(versionIsNewer(c.candidate, c.reference), c.newer)
            << '"' << c.candidate << "\" vs \"" << c.reference << '"';
    }
}

TEST(Manifest, OnlyANewerVersionAtAnHttpsAddress) {
    const auto update = interpretManifest(
        R"({"version":"1.4.0","url":"https://tapdeck.app/download","notes":"Faster."})", "1.3.9");
    ASSERT_TRUE(update);
    EXPECT_EQ(update->version, "1.4.0");
    EXPECT_EQ(update->url, "https://tapdeck.app/download");
    EXPECT_EQ(update->notes, "Faster.");
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

TEST(CurrentVersion, IsTheBuildsOwn) {
    EXPECT_EQ(currentVersion(), "0.1.0");
    EXPECT_TRUE(interpretManifest(R"({"version":"0.1.1","url":"https://a.b/"})", currentVersion()));
}

}  // namespace
}  // namespace td::update

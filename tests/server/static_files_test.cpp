#include "server/static_files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.hpp"

namespace td::server {
namespace {

class StaticFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.write("public/index.html", "<h1>phone</h1>");
        dir.write("public/admin.html", "<h1>admin</h1>");
        dir.write("public/LOGO.PNG", "png");
        dir.write("public/manifest.webmanifest", "{}");
        dir.write("public/css/app.css", "body{}");
        dir.write("public/noext", "x");
        dir.write("secret.txt", "do not serve");
    }
    Response get(std::string_view path) const { return serveStatic(dir.path() / "public", path); }

    test::TempDir dir;
};

TEST_F(StaticFiles, AliasesAndContentTypes) {
    struct Case {
        std::string path;
        std::string type;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"/", "text/html", "<h1>phone</h1>"},
        {"/index.html", "text/html", "<h1>phone</h1>"},
        {"/admin", "text/html", "<h1>admin</h1>"},
        {"/admin.html", "text/html", "<h1>admin</h1>"},
        {"/LOGO.PNG", "application/octet-stream", "png"},
        {"/manifest.webmanifest", "application/manifest+json", "{}"},
        {"/css/app.css", "text/css", "body{}"},
        {"/noext", "application/octet-stream", "x"},
    };
    for (const auto& c : cases) {
        const Response r = get(c.path);
        EXPECT_EQ(r.status, 200) << c.path;
        EXPECT_EQ(r.contentType, c.type) << c.path;
        EXPECT_EQ(r.body, c.body) << c.path;
        EXPECT_EQ(r.extraHeaders, "") << c.path;
    }
}

TEST_F(StaticFiles, EverythingThatIsNotAReadableFileInsideIsTheSame404) {
    dir.write("public/locked.html", "x");
    ::chmod((dir.path() / "public/locked.html").c_str(), 0);
    const bool rootIgnoresModes = ::geteuid() == 0;
    std::vector<std::string> paths = {"/missing.html",
                                      "/css",
                                      "/css/",
                                      "/admin/",
                                      "/index",
                                      "/../secret.txt",
                                      "/css/../../secret.txt",
                                      "/..",
                                      std::string("/index.html\0.png", 16),
                                      ""};
    if (!rootIgnoresModes) {
        paths.push_back("/locked.html");
    }
    for (const auto& path : paths) {
        const Response r = get(path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.contentType, "text/plain") << path;
        EXPECT_EQ(r.body, "not found") << path;
    }
}

TEST_F(StaticFiles, ChangesOnDiskAreServedAtOnce) {
    EXPECT_EQ(get("/").body, "<h1>phone</h1>");
    dir.write("public/index.html", "<h1>new</h1>");
    EXPECT_EQ(get("/").body, "<h1>new</h1>");
}

TEST(ContentTypes, ExtensionIsTheTextAfterTheLastDotOfTheLastComponent) {
    EXPECT_EQ(contentTypeFor("/a.b/c"), "application/octet-stream");
    EXPECT_EQ(contentTypeFor("/a/b.min.js"), "text/javascript");
    EXPECT_EQ(contentTypeFor("/icon.svg"), "image/svg+xml");
    EXPECT_EQ(contentTypeFor("/favicon.ico"), "image/x-icon");
    EXPECT_EQ(contentTypeFor("/data.json"), "application/json");
    EXPECT_EQ(contentTypeFor("/page.HTML"), "application/octet-stream");
}

}  // namespace
}  // namespace td::server

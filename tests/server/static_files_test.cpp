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
        dir.write("public/css/app.css", "body{}");
        dir.write("public/manifest.webmanifest", "{}");
    }
    Response get(std::string_view path) const { return serveStatic(dir.path() / "public", path); }

    test::TempDir dir;
};

TEST_F(StaticFiles, AliasesSubfoldersAndWhatIsOnDiskNow) {
    const std::vector<std::array<std::string, 3>> cases = {
        {"/", "text/html", "<h1>phone</h1>"},
        {"/index.html", "text/html", "<h1>phone</h1>"},
        {"/admin", "text/html", "<h1>admin</h1>"},
        {"/%61dmin", "text/html", "<h1>admin</h1>"},
        {"/css/app.css", "text/css", "body{}"},
        {"/manifest.webmanifest", "application/manifest+json", "{}"},
    };
    for (const auto& [path, type, body] : cases) {
        const Response r = get(path);
        EXPECT_EQ(std::tie(r.status, r.contentType, r.body, r.extraHeaders),
                  std::make_tuple(200, type, body, ""))
            << path;
    }
    dir.write("public/index.html", "<h1>new</h1>");  // nothing is cached
    EXPECT_EQ(get("/").body, "<h1>new</h1>");
}

TEST_F(StaticFiles, EverythingThatIsNotAReadableFileInsideIsTheSame404) {
    dir.write("public/locked.html", "x");
    ::chmod((dir.path() / "public/locked.html").c_str(), 0);
    const char* locked = ::geteuid() == 0 ? "/.." : "/locked.html";  // root reads it anyway
    for (std::string_view path :
         {"/missing.html", "/css", "/css/", "/admin/", "/index", "", locked}) {
        const Response r = get(path);
        EXPECT_EQ(std::tie(r.status, r.contentType, r.body),
                  std::make_tuple(404, "text/plain", "not found"))
            << path;
    }
}

// Kept answers are sent again only while the file is the one that was read: an edit is seen at
// once, and a file swapped for a link out of the folder is refused like any such link.
TEST_F(StaticFiles, KeptAnswersFollowTheFileAndNeverALinkOut) {
    server::StaticFiles files(dir.path() / "public");
    const auto body = [&](std::string_view path) {
        const std::string bytes = *files.answer(path);
        return bytes.substr(0, 12) + "|" + bytes.substr(bytes.find("\r\n\r\n") + 4);
    };
    EXPECT_EQ(body("/"), "HTTP/1.1 200|<h1>phone</h1>");
    EXPECT_EQ(files.answer("/"), files.answer("/index.html"));  // the same bytes, not a copy
    dir.write("public/index.html", "<h1>edited, longer</h1>");
    EXPECT_EQ(body("/"), "HTTP/1.1 200|<h1>edited, longer</h1>");
    dir.write("secret.txt", "token");
    const auto css = dir.path() / "public/css/app.css";
    EXPECT_EQ(body("/css/app.css"), "HTTP/1.1 200|body{}");
    std::filesystem::remove(css);
    std::filesystem::create_symlink(dir.path() / "secret.txt", css);
    EXPECT_EQ(body("/css/app.css"), "HTTP/1.1 404|not found");
    std::filesystem::remove(css);
    EXPECT_EQ(body("/css/app.css"), "HTTP/1.1 404|not found");
    EXPECT_EQ(body("/../secret.txt"), "HTTP/1.1 404|not found");
    // The whole folder renamed away and a new one put in its place: the new one's files.
    std::filesystem::rename(dir.path() / "public", dir.path() / "public.old");
    dir.write("public/index.html", "<h1>new</h1>");
    EXPECT_EQ(body("/"), "HTTP/1.1 200|<h1>new</h1>");
}

TEST(ContentTypes, ByTheTextAfterTheLastDotOfTheLastComponentCaseSensitively) {
    std::string types;
    for (const char* name :
         {"/a/b.min.js", "/i.svg", "/f.ico", "/d.json", "/i.png", "/a.b/c", "/p.HTML"}) {
        types += std::string(contentTypeFor(name)) + " ";
    }
    EXPECT_EQ(types,
              "text/javascript image/svg+xml image/x-icon application/json image/png "
              "application/octet-stream application/octet-stream ");
}

}  // namespace
}  // namespace td::server

// Feeds arbitrary request targets to the static files, as the request reader hands them over.
// Beyond "no crash": whatever the target, the answer is a file of the public folder or the 404;
// never a byte of what lies beside it, behind a link out of it or anywhere else.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz_require.hpp"
#include "server/request.hpp"
#include "server/static_files.hpp"

namespace {

constexpr std::string_view INSIDE = "inside:";

void write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// public/ with files that say they are inside, and beside it, behind links and above it,
// files that say nothing of the kind. Made once, under the system's temporary folder, and
// removed when the fuzzer ends.
struct PublicFolder {
    PublicFolder();
    ~PublicFolder() { std::filesystem::remove_all(root); }
    std::filesystem::path root;
    std::filesystem::path publicDir;
};

PublicFolder::PublicFolder() {
    char pattern[] = "/tmp/td-static-fuzz-XXXXXX";
    root = ::mkdtemp(pattern);
    publicDir = root / "public";
    for (const char* name : {"index.html", "admin.html", "a/b.js", "a/c/d.css", "%2F.png"}) {
        write(publicDir / name, std::string(INSIDE) + name);
    }
    write(root / "secret.txt", "outside");
    write(root / "public-secret", "outside");
    std::filesystem::create_symlink(root / "secret.txt", publicDir / "out");
    std::filesystem::create_symlink("../..", publicDir / "a/up");
    std::filesystem::create_symlink("b.js", publicDir / "a/in.js");
}

const PublicFolder FOLDER;

using td::fuzz::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view target(reinterpret_cast<const char*>(data), size);
    td::server::Request request;
    td::server::applyTarget(target, request);
    const td::server::Response answer =
        td::server::serveStatic(FOLDER.publicDir, request.encodedPath);
    if (answer.status == 200) {
        require(answer.body.starts_with(INSIDE));
    } else {
        require(answer.status == 404 && answer.body == "not found");
    }
    return 0;
}

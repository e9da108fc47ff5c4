#include "common/resources.hpp"

#include <cstdlib>
#include <system_error>

namespace td {
namespace fs = std::filesystem;

namespace {

fs::path executableDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path{} : exe.parent_path();
}

bool holdsPublicFolder(const fs::path& dir) {
    std::error_code ec;
    return fs::is_directory(dir / "public", ec);
}

}  // namespace

fs::path resourcesDir() {
    if (const char* fromEnv = std::getenv("TD_RESOURCES"); fromEnv && *fromEnv) {
        return fromEnv;
    }
    if (const fs::path exeDir = executableDir(); !exeDir.empty()) {
        for (const fs::path& candidate : {exeDir, exeDir.parent_path() / "share" / "tapdeck"}) {
            if (holdsPublicFolder(candidate)) {
                return candidate;
            }
        }
    }
    return ".";
}

}  // namespace td

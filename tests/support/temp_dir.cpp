#include "support/temp_dir.hpp"

#include <cstdlib>
#include <fstream>
#include <string>

namespace td::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tapdeck-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(std::string_view relative, std::string_view contents) const {
    const auto full = path_ / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary) << contents;
}

}  // namespace td::test

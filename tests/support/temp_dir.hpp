#pragma once

#include <filesystem>
#include <string_view>

namespace td::test {

// A fresh folder under the system's temp folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes a file (creating its folders) relative to the temp folder.
    void write(std::string_view relative, std::string_view contents) const;

  private:
    std::filesystem::path path_;
};

}  // namespace td::test

// A private directory under /tmp for tests that need real files, removed
// with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace zevra::testfiles {

class TempDirectory {
 public:
  TempDirectory() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("zevra_test_" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  std::string Path() const { return path_.string(); }
  std::string Path(std::string_view relative) const { return (path_ / relative).string(); }

  std::string Write(std::string_view relative, std::string_view content) const {
    std::filesystem::path full = path_ / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return full.string();
  }
  std::string MakeDirectory(std::string_view relative) const {
    std::filesystem::path full = path_ / relative;
    std::filesystem::create_directories(full);
    return full.string();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace zevra::testfiles

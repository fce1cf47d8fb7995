// A private access log for a test: opened as the process's access log
// while the object lives, closed and removed when it goes.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "server/response/Logs.h"

namespace zevra::support {

class AccessLogFile {
 public:
  AccessLogFile() {
    // Not named after `this` alone: test processes that run side by side
    // can hold their fixture at the same address (the sanitizers' heap is
    // laid out the same in every process) and would share one log.
    std::random_device random;
    path_ = std::filesystem::path(::testing::TempDir()) /
            ("zevra_access_" + std::to_string(random()) + std::to_string(random()) + ".log");
    std::filesystem::remove(path_);
    OpenAccessLog(path_.string());
  }
  ~AccessLogFile() {
    CloseAccessLog();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  AccessLogFile(const AccessLogFile&) = delete;
  AccessLogFile& operator=(const AccessLogFile&) = delete;

  std::string Text() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path path_;
};

}  // namespace zevra::support

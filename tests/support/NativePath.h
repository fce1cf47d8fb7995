// Paths in the tests are written with '/'; the program joins and splits
// them with the platform's separator ('\' on Windows). Native() turns the
// one into the other so that one expectation holds on both.
#pragma once

#include <string>

#include "platform/Native.h"

namespace zevra::testfiles {

inline std::string Native(std::string path) {
  for (char& c : path) {
    if (c == '/') c = platform::kPathSeparator;
  }
  return path;
}

}  // namespace zevra::testfiles

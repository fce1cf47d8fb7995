// The process-wide records: the start-up values and the settings. Filled by
// the main thread before any other thread exists, read-only afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "common/Product.h"
#include "common/Settings.h"

namespace zevra {

struct StartupValues {
  std::string programDirectory;  // without trailing separator
  std::string programFileName;
  std::string windowsDirectory;
  std::string computerName;
  uint32_t allocationGranularity = 0;
};

extern StartupValues g_startup;
extern ServerSettings g_settings;

}  // namespace zevra

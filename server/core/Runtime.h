// The process-wide records: the start-up values and the settings. Filled by
// the main thread before any other thread exists, read-only afterwards.
#pragma once

#include <cstdint>
#include <string>

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

inline constexpr const char* kVersionText = "Zevra/0.2.9";
inline constexpr const char* kProductName = "Zevra";
inline constexpr const char* kVersionNumber = "0.2.9";
inline constexpr const char* kDisplayName = "泽瓦个人网站服务器";

}  // namespace zevra

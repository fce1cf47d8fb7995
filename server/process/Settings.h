// Loading the settings file into g_settings and opening the log files.
#pragma once

#include <cstdint>
#include <string>

#include "common/Profile.h"
#include "common/Settings.h"
#include "platform/Clock.h"

namespace zevra {

// Reads the fourteen keys in their order, derives the file-mapping window and
// opens the logs: the access log right after WriteAccessLog (when it is on),
// then the error log. Uses g_startup.programDirectory and granularity.
void LoadServerSettings();

// The same reading from an already parsed file, without opening logs.
ServerSettings ReadServerSettings(const ProfileFile& file, uint32_t granularity);

// The window in bytes for a FileMapping value in MiB: at least one
// granularity, a multiple of it, and below 2 GiB.
int32_t FileMappingWindow(int32_t mebibytes, uint32_t granularity);

// "Access_" + year + month + day + ".log", numbers without leading zeros.
std::string AccessLogFileName(const platform::CivilTime& localDate);

}  // namespace zevra

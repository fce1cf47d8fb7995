// The worker's crash report: one line in error.log that names the worker's
// pid and the fault, so that a crash can be told apart from a stop.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Crash.h"

namespace zevra {

// Arms the report for this process. Paths come from the program directory
// in g_startup, which must be set.
void InstallCrashReport();

// The message (without time stamp):
// "[ Core ] Error - Worker [pid] Crashed. Exception {Code:0x.., ...}".
// Writes at most capacity bytes and returns how many; no allocation, so it
// may run inside the crash hook.
size_t FormatCrashMessage(const platform::CrashRecord& record, std::string_view pid, char* out, size_t capacity);
// The whole error-log line: time stamp, " - - ", message, CR LF.
size_t FormatCrashLine(const platform::CrashRecord& record, std::string_view pid, const platform::CivilTime& time,
                       char* out, size_t capacity);

}  // namespace zevra

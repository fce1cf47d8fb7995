// The crash hook: a fatal fault anywhere in the process (an unhandled
// exception on Windows, a fatal signal on POSIX) is described as a Windows
// exception record and handed to one report routine, after which the process
// ends by that fault. It neither loops on the faulting instruction nor goes
// on silently.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace zevra::platform {

inline constexpr uint32_t kExceptionAccessViolation = 0xC0000005;
inline constexpr uint32_t kExceptionIllegalInstruction = 0xC000001D;
inline constexpr uint32_t kExceptionIntegerDivideByZero = 0xC0000094;
inline constexpr uint32_t kExceptionFloatInvalid = 0xC000008E;
inline constexpr uint32_t kExceptionStackBufferOverrun = 0xC0000409;  // what an abort ends with on Windows
inline constexpr uint32_t kMaxCrashParameters = 15;

// The fields of a Windows EXCEPTION_RECORD that a crash report prints.
struct CrashRecord {
  uint32_t code = 0;
  uint32_t flags = 0;
  uint64_t nestedRecord = 0;
  uint64_t address = 0;  // the faulting instruction
  uint32_t parameterCount = 0;
  // Access violation: [0] 0 = read, 1 = write; [1] the address touched.
  uint64_t parameters[kMaxCrashParameters] = {};
};

// Runs on the faulting thread, on an alternate stack where one is set up.
// Only async-signal-safe work is allowed: no allocation, no locks, no stdio.
using CrashHandler = void (*)(const CrashRecord& record);

// Arms handler for the fatal faults (POSIX: SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT) and fixes the zone offset CrashLocalTime uses. A second fault
// while the report runs ends the process without a second report. False
// when the hook could not be armed.
bool InstallCrashHandler(CrashHandler handler);

// Gives the calling thread an alternate stack for the crash hook, so that a
// stack overflow can still be reported. Cheap after the first call on a
// thread; threads that already have one keep theirs.
void PrepareThreadForCrashReport();

// The local time, safe inside the crash handler: the clock read now,
// shifted by the zone offset in force when the hook was armed.
CivilTime CrashLocalTime();

// Test builds only: the fault a test asked for through the environment
// (ZEVRA_CRASH_PROBE), or empty.
std::string CrashProbeRequest();
// Ends the process by the named fault: "segv" (write to address 0x10),
// "abort", "ill", "fpe" (integer division by zero). Unknown names return.
void ProvokeCrash(std::string_view kind);

}  // namespace zevra::platform

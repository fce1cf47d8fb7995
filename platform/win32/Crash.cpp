// The crash hook on Windows: the unhandled-exception filter hands the
// exception record to the report routine, and the process then ends with
// the exception's code.
#include "platform/Crash.h"

#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdlib>

namespace zevra::platform {
namespace {

CrashHandler g_handler = nullptr;
std::atomic<int> g_reporting{0};  // 0 = no fault yet, 1 = reporting, 2 = reported

// Only the first fault is reported. A fault on a second thread meanwhile
// gives that report up to a second to reach the log before its own thread
// ends the process (which would cut the line off).
void Report(const CrashRecord& record) {
  if (g_reporting.exchange(1) == 0) {
    if (g_handler != nullptr) g_handler(record);
    g_reporting.store(2);
  } else {
    for (int i = 0; i < 100 && g_reporting.load() == 1; ++i) ::Sleep(10);
  }
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  if (pointers != nullptr && pointers->ExceptionRecord != nullptr) {
    const EXCEPTION_RECORD& r = *pointers->ExceptionRecord;
    CrashRecord record;
    record.code = r.ExceptionCode;
    record.flags = r.ExceptionFlags;
    record.nestedRecord = reinterpret_cast<uint64_t>(r.ExceptionRecord);
    record.address = reinterpret_cast<uint64_t>(r.ExceptionAddress);
    record.parameterCount = r.NumberParameters < kMaxCrashParameters ? r.NumberParameters : kMaxCrashParameters;
    for (uint32_t i = 0; i < record.parameterCount; ++i) record.parameters[i] = r.ExceptionInformation[i];
    Report(record);
  }
  return EXCEPTION_EXECUTE_HANDLER;  // the process ends with the exception code
}

// The C runtime's abort (std::terminate's end too) raises SIGABRT and then
// exits with 3, never passing the filter: the crash would go unreported.
// Reported here as the fail-fast code a newer runtime ends with, and the
// process ends with that code.
void OnAbort(int) {
  CrashRecord record;
  record.code = kExceptionStackBufferOverrun;
  record.address = reinterpret_cast<uint64_t>(__builtin_return_address(0));
  Report(record);
  ::TerminateProcess(::GetCurrentProcess(), kExceptionStackBufferOverrun);
}

}  // namespace

bool InstallCrashHandler(CrashHandler handler) {
  g_handler = handler;
  ::SetUnhandledExceptionFilter(OnUnhandledException);
  std::signal(SIGABRT, OnAbort);
  // No error box that would keep a crashed worker waiting for a click.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  return true;
}

void PrepareThreadForCrashReport() {
  // Room on the stack for the filter after a stack overflow.
  ULONG guarantee = 64 * 1024;
  ::SetThreadStackGuarantee(&guarantee);
}

CivilTime CrashLocalTime() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  CivilTime c;
  c.year = t.wYear;
  c.month = t.wMonth;
  c.day = t.wDay;
  c.hour = t.wHour;
  c.minute = t.wMinute;
  c.second = t.wSecond;
  c.weekday = t.wDayOfWeek;
  return c;
}

std::string CrashProbeRequest() {
  const char* value = std::getenv("ZEVRA_CRASH_PROBE");
  return value != nullptr ? value : "";
}

void ProvokeCrash(std::string_view kind) {
  if (kind == "segv") {
    static volatile uintptr_t target = 0x10;
    *reinterpret_cast<volatile int*>(target) = 1;
  } else if (kind == "abort") {
    std::abort();
  } else if (kind == "ill") {
    __builtin_trap();
  } else if (kind == "fpe") {
    asm volatile("xor %%ecx, %%ecx\n\tmov $1, %%eax\n\tcltd\n\tidiv %%ecx" ::: "eax", "ecx", "edx", "cc");
  }
}

}  // namespace zevra::platform

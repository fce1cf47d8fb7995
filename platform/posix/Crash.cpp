#include "platform/Crash.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <time.h>
#include <ucontext.h>

namespace zevra::platform {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// Large enough for the report routine also in sanitizer builds.
constexpr size_t kAltStackBytes = 64 * 1024;

long LocalUtcOffset() {
  time_t now = ::time(nullptr);
  struct tm local;
  return ::localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}

CrashHandler g_handler = nullptr;
// Read once at start and again when the hook is armed: the hook itself
// cannot ask for the zone (that may lock).
std::atomic<long> g_utcOffsetSeconds{LocalUtcOffset()};
std::atomic<int> g_reporting{0};  // 0 = no fault yet, 1 = reporting, 2 = reported
static_assert(std::atomic<int>::is_always_lock_free, "the crash hook needs a lock-free flag");

alignas(16) char g_mainAltStack[kAltStackBytes];
thread_local bool t_altStackReady = false;

bool SetAltStack(void* memory, size_t size) {
  stack_t current;
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 && current.ss_sp != nullptr) {
    return true;  // the thread has one already (a sanitizer's, say)
  }
  stack_t stack = {};
  stack.ss_sp = memory;
  stack.ss_size = size;
  return ::sigaltstack(&stack, nullptr) == 0;
}

// Where the faulting instruction was, and whether an access fault wrote.
void ReadMachineContext(void* uc, uint64_t& ip, bool& write) {
  ip = 0;
  write = false;
#if defined(__x86_64__)
  const ucontext_t* context = static_cast<const ucontext_t*>(uc);
  ip = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
  // The page-fault error code: bit 1 is set for a write.
  write = (context->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#elif defined(__aarch64__)
  const ucontext_t* context = static_cast<const ucontext_t*>(uc);
  ip = static_cast<uint64_t>(context->uc_mcontext.pc);
#else
  (void)uc;
#endif
}

CrashRecord DescribeSignal(int sig, const siginfo_t* info, void* uc) {
  CrashRecord record;
  uint64_t ip;
  bool write;
  ReadMachineContext(uc, ip, write);
  record.address = ip;
  switch (sig) {
    case SIGSEGV:
    case SIGBUS:
      record.code = kExceptionAccessViolation;
      record.parameterCount = 2;
      record.parameters[0] = write ? 1 : 0;
      record.parameters[1] = reinterpret_cast<uintptr_t>(info->si_addr);
      break;
    case SIGILL:
      record.code = kExceptionIllegalInstruction;
      break;
    case SIGFPE:
      record.code = info->si_code == FPE_INTDIV ? kExceptionIntegerDivideByZero : kExceptionFloatInvalid;
      break;
    default:
      record.code = kExceptionStackBufferOverrun;
      break;
  }
  return record;
}

void OnFatalSignal(int sig, siginfo_t* info, void* uc) {
  // Only the first fault is reported; a fault inside the report, or on a
  // second thread meanwhile, goes straight on to the end.
  if (g_reporting.exchange(1) == 0) {
    int savedErrno = errno;
    if (g_handler != nullptr) g_handler(DescribeSignal(sig, info, uc));
    errno = savedErrno;
    g_reporting.store(2);
  } else {
    // Give the first report up to a second to reach the log before this
    // thread ends the process.
    struct timespec step = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 100 && g_reporting.load() == 1; ++i) ::nanosleep(&step, nullptr);
  }
  // End by the same signal: the default action, raised again. The signal
  // is blocked while this handler runs, so it is delivered as soon as the
  // handler returns, before a faulting instruction could run again.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  ::sigemptyset(&fallback.sa_mask);
  ::sigaction(sig, &fallback, nullptr);
  ::raise(sig);
}


// Civil date of a day count since 1970-01-01 (proleptic Gregorian), by
// arithmetic alone: no library call that could lock.
void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2 ? 1 : 0));
}

}  // namespace

bool InstallCrashHandler(CrashHandler handler) {
  g_utcOffsetSeconds.store(LocalUtcOffset());
  g_handler = handler;
  if (!SetAltStack(g_mainAltStack, sizeof g_mainAltStack)) return false;
  t_altStackReady = true;
  struct sigaction action = {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  ::sigemptyset(&action.sa_mask);
  bool armed = true;
  for (int sig : kFatalSignals) armed = ::sigaction(sig, &action, nullptr) == 0 && armed;
  return armed;
}

void PrepareThreadForCrashReport() {
  if (t_altStackReady) return;
  t_altStackReady = true;
  // One stack per library thread, kept for the thread's life: the threads
  // live as long as the worker, so nothing is lost by not freeing it.
  void* memory = std::malloc(kAltStackBytes);
  if (memory != nullptr && !SetAltStack(memory, kAltStackBytes)) std::free(memory);
}

CivilTime CrashLocalTime() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  int64_t seconds = static_cast<int64_t>(ts.tv_sec) + g_utcOffsetSeconds.load();
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  int64_t rest = seconds - days * 86400;
  CivilTime t;
  CivilFromDays(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  t.weekday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  return t;
}

std::string CrashProbeRequest() {
  const char* value = std::getenv("ZEVRA_CRASH_PROBE");
  return value != nullptr ? value : "";
}

void ProvokeCrash(std::string_view kind) {
  if (kind == "segv") {
    // A write to a fixed low address: the fault is known to the byte.
    static volatile uintptr_t target = 0x10;
    *reinterpret_cast<volatile int*>(target) = 1;
  } else if (kind == "abort") {
    std::abort();
  } else if (kind == "ill") {
    __builtin_trap();
  } else if (kind == "fpe") {
#if defined(__x86_64__)
    // Straight to the instruction: a division by zero in C++ would be
    // caught earlier by the undefined-behaviour checks of a test build.
    asm volatile("xor %%ecx, %%ecx\n\tmov $1, %%eax\n\tcltd\n\tidiv %%ecx" ::: "eax", "ecx", "edx", "cc");
#else
    ::raise(SIGFPE);
#endif
  }
}

}  // namespace zevra::platform

#include "platform/System.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits.h>
#include <sched.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "platform/CodePage.h"
#include "platform/Service.h"

namespace zevra::platform {

std::string ProgramPath() {
  std::string path(PATH_MAX, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < path.size()) {
      path.resize(static_cast<size_t>(n));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string ProgramDirectory() {
  std::string path = ProgramPath();
  size_t cut = path.rfind(kPathSeparator);
  if (cut == std::string::npos) return std::string();
  if (cut == 0) return std::string();  // the root directory: "" + "/Config" stays right
  return path.substr(0, cut);
}

std::string ProgramFileName() {
  std::string path = ProgramPath();
  size_t cut = path.rfind(kPathSeparator);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string HostComputerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  std::string text = CodePageToUtf8(name);
  if (text.size() > 64) text.resize(64);
  return text;
}

std::string SystemDirectory() { return "/"; }

unsigned UsableProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1u;
}

uint32_t AllocationGranularity() {
  long page = ::sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<uint32_t>(page) : 0;
}

std::string CommandLineText(int argc, char** argv) {
  std::string text;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) text += ' ';
    text += argv[i];
  }
  return text;
}

void SetTerminalTitle(std::string_view title) {
  if (!::isatty(STDOUT_FILENO)) return;
  std::string sequence = "\x1b]0;";
  sequence += Utf8ToCodePage(title);
  sequence += '\a';
  WriteStdout(sequence);
}

void WriteStdout(std::string_view bytes) {
  while (!bytes.empty()) {
    size_t chunk = std::min<size_t>(bytes.size(), 1024);
    ssize_t n = ::write(STDOUT_FILENO, bytes.data(), chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

int LastErrorCode() { return errno; }
void SetLastErrorCode(int code) { errno = code; }

std::string SystemErrorText(int code) {
  // The service functions' own codes, with the texts Windows gives them.
  switch (code) {
    case kErrorServiceExists:
      return "The specified service already exists.";
    case kErrorServiceDoesNotExist:
      return "The specified service does not exist as an installed service.";
    case kErrorServiceToolFailed:
      return "A system tool of the service manager failed.";
    case kErrorServiceAccountAccess:
      return "The service account cannot reach the program's files.";
    default:
      break;
  }
  char buffer[256];
  // The GNU strerror_r returns the text, which may not be in buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return CodePageToUtf8(text != nullptr ? text : "");
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

void SleepMilliseconds(uint32_t ms) {
  struct timespec delay = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

void TerminateSelf(int code) { ::_exit(code & 0xFF); }

int UnsupportedErrorCode() { return ENOSYS; }

int AccessDeniedErrorCode() { return EACCES; }

void WaitForever() {
  for (;;) ::pause();
}

}  // namespace zevra::platform

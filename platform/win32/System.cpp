#include "platform/System.h"

#include <windows.h>

#include <algorithm>
#include <bit>
#include <string>

#include "platform/win32/Wide.h"

namespace zevra::platform {

std::string ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  // The name may be longer than MAX_PATH; a full buffer means "cut short".
  for (int i = 0; i < 8; ++i) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      return WideToUtf8(path);
    }
    path.resize(path.size() * 2);
  }
  return std::string();
}

std::string ProgramDirectory() {
  const std::string path = ProgramPath();
  const size_t cut = path.rfind(kPathSeparator);
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string ProgramFileName() {
  const std::string path = ProgramPath();
  const size_t cut = path.rfind(kPathSeparator);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string HostComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &length)) return std::string();
  std::string text = WideToUtf8(std::wstring_view(name, length));
  if (text.size() > 64) text.resize(64);
  return text;
}

std::string SystemDirectory() {
  wchar_t path[MAX_PATH + 1] = {};
  const UINT n = ::GetWindowsDirectoryW(path, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return std::string();
  return WideToUtf8(std::wstring_view(path, n));
}

unsigned UsableProcessorCount() {
  DWORD_PTR process = 0, system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0) {
    return static_cast<unsigned>(std::popcount(static_cast<uint64_t>(process)));
  }
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1u;
}

uint32_t AllocationGranularity() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwAllocationGranularity;
}

// Windows gives the command line as one text, whatever argv made of it.
std::string CommandLineText(int, char**) { return WideToUtf8(::GetCommandLineW()); }

void SetTerminalTitle(std::string_view title) { ::SetConsoleTitleW(Utf8ToWide(title).c_str()); }

void WriteStdout(std::string_view bytes) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1024));
    DWORD written = 0;
    if (!::WriteFile(out, bytes.data(), chunk, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

int LastErrorCode() { return static_cast<int>(::GetLastError()); }
void SetLastErrorCode(int code) { ::SetLastError(static_cast<DWORD>(code)); }

std::string SystemErrorText(int code) {
  wchar_t text[512] = {};
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, text, 512, nullptr);
  // The text keeps the line break the system ends it with: the messages
  // built from it expect it there.
  if (n > 0) return WideToUtf8(std::wstring_view(text, n));
  // A code the system has no text for (Wine knows none for most Winsock
  // codes) still gets a text, in the system's own form, so that no message
  // built from it ends empty.
  return "Unknown error " + std::to_string(code) + "\r\n";
}

uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

void SleepMilliseconds(uint32_t ms) { ::Sleep(ms); }

void TerminateSelf(int code) {
  ::ExitProcess(static_cast<UINT>(code));
}

void WaitForever() {
  for (;;) ::Sleep(INFINITE);
}

}  // namespace zevra::platform
